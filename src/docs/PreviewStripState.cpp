#include "docs/PreviewStripState.h"

#include "files/OwnFile.h"
#include "files/Paths.h"

namespace previews {

namespace {

/// The file holds one short line; anything longer is not ours and is not read further.
constexpr qint64 MaxStateBytes = 256;
const QByteArray HiddenLine = "strip=hidden";
const QByteArray ShownLine = "strip=shown";

QString stateFile()
{
    return platform::varimondStateFolder() + QStringLiteral("/previews");
}

} // namespace

bool stripHiddenByPlayer()
{
    const std::optional<QByteArray> text = platform::readOwnFile(stateFile(), MaxStateBytes);
    if (!text)
        return false;
    for (const QByteArray &line : text->split('\n')) {
        if (line.trimmed() == HiddenLine)
            return true;
    }
    return false;
}

bool rememberStripHidden(bool hidden)
{
    return platform::makeOwnFolder(platform::varimondStateFolder()) &&
           platform::writeOwnFile(stateFile(), (hidden ? HiddenLine : ShownLine) + '\n');
}

} // namespace previews
