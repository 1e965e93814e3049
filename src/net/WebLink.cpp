#include "net/WebLink.h"

#include "net/Downloader.h"

#include <QDesktopServices>
#include <QUrl>

namespace platform {

bool openWebAddress(const QString &address)
{
    const QUrl url(address.trimmed(), QUrl::StrictMode);
    if (!IsWebAddress(url))
        return false;
    return QDesktopServices::openUrl(url);
}

} // namespace platform
