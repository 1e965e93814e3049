#include "docs/PreviewStripState.h"

#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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
    const QByteArray path = QFile::encodeName(stateFile());
    // No link is followed and nothing but a regular file is read (a pipe would block).
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st = {};
    char buffer[MaxStateBytes];
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= MaxStateBytes)
        n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n <= 0)
        return false;
    for (const QByteArray &line : QByteArray(buffer, static_cast<int>(n)).split('\n')) {
        if (line.trimmed() == HiddenLine)
            return true;
    }
    return false;
}

bool rememberStripHidden(bool hidden)
{
    // A state folder that is not there yet is made private to the player.
    const QString folder = platform::varimondStateFolder();
    if (!QFileInfo(folder).isDir()) {
        if (!QDir().mkpath(folder))
            return false;
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // A fresh temporary file renamed over the old one: a reader never sees half a file, and a
    // link in the old one's place is replaced, never written through.
    const QByteArray target = QFile::encodeName(stateFile());
    QByteArray temp = target + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    const QByteArray line = (hidden ? HiddenLine : ShownLine) + '\n';
    const bool written = ::write(fd, line.constData(), line.size()) == line.size();
    if (::close(fd) != 0 || !written || ::rename(temp.constData(), target.constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    return true;
}

} // namespace previews
