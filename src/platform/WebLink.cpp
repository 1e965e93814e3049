#include "platform/WebLink.h"

#include <QDesktopServices>
#include <QUrl>

namespace platform {

bool openWebAddress(const QString &address)
{
    const QUrl url(address.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return false;
    return QDesktopServices::openUrl(url);
}

} // namespace platform
