#pragma once

// Small file helpers shared by the test executables.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include "files/PackPermissions.h"
#include "launch/ScriptLauncher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testfiles {

/// For tests that look at how a script is started rather than at its sandbox: the scratch
/// folder @p pack stands for the pack, and the player gave it full rights. Call it with
/// XDG_CONFIG_HOME pointing into the scratch folder.
inline void startScriptsUnconfined(const QString &pack)
{
    platform::setScriptPackSource([pack] {
        platform::ScriptPack scratch;
        scratch.dir = pack;
        return scratch;
    });
    platform::PackPermissions().setGranted(platform::PackPermissions::packKey(pack),
                                           platform::PackPermissions::Grant::FullRights, true);
}

inline QString S(const char *text) { return QString::fromUtf8(text); }

/// Puts the system's bubblewrap into @p bin, a folder a test makes the whole PATH, so that the
/// scripts still start in their sandbox.
inline void addSandbox(const QString &bin)
{
    QDir().mkpath(bin);
    QFile::link(QStringLiteral("/usr/bin/bwrap"), bin + QStringLiteral("/bwrap"));
}

/// The whole file, or an empty array when it cannot be read.
inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// Writes @p content as the whole file, creating its folders; false when that fails.
inline bool writeAll(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(content) == content.size();
}

// Names given as the bytes on disk, for names that are not UTF-8.

inline bool makeNativeFolder(const QByteArray &path)
{
    return ::mkdir(path.constData(), 0755) == 0;
}

inline bool makeNativeFile(const QByteArray &path, const QByteArray &content, mode_t mode = 0644)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    const bool ok =
        ::write(fd, content.constData(), static_cast<size_t>(content.size())) == content.size();
    return ::close(fd) == 0 && ok;
}

/// The first 64 KiB of the file, or an empty array when it cannot be read.
inline QByteArray readNative(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray data(65536, '\0');
    const ssize_t n = ::read(fd, data.data(), static_cast<size_t>(data.size()));
    ::close(fd);
    return n < 0 ? QByteArray() : data.left(n);
}

} // namespace testfiles
