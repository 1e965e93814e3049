// The INI layer's side that touches the disk: one read of the whole file, and the crash-safe
// replacement (temporary file in the same folder, renamed over the old one).

#include "files/Error.h"
#include "ini/IniFile.h"

#include "files/Confine.h"
#include "files/LinuxDirent.h"
#include "files/OpenBeneath.h"
#include "files/OwnFile.h"

#include <QFile>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <ctime>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int MaxLinkHops = 40; // as the kernel's own limit for a path

class FileDescriptor final
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Q_DISABLE_COPY_MOVE(FileDescriptor)
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

mode_t processUmask()
{
    static const mode_t mask = [] {
        const mode_t m = ::umask(0);
        ::umask(m);
        return m;
    }();
    return mask;
}

bool writeAll(int fd, const QByteArray &content)
{
    const char *p = content.constData();
    qsizetype left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, p, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        p += written;
        left -= written;
    }
    return true;
}

// Reads an open regular file whole, @p expected being its size by fstat; false when it turns
// out larger than @p cap or cannot be read.
bool readAll(int fd, qint64 expected, qint64 cap, QByteArray &out)
{
    // One byte more than announced, so that a short read answers the end of the file at once.
    out.resize(static_cast<qsizetype>(expected) + 1);
    qsizetype got = 0;
    for (;;) {
        if (got == out.size()) {
            if (out.size() > cap)
                return false;
            out.resize(std::min<qsizetype>(out.size() * 2, static_cast<qsizetype>(cap) + 1));
        }
        const ssize_t n = ::read(fd, out.data() + got, static_cast<size_t>(out.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += n;
        if (got < out.size() && got >= expected)
            break; // a short read past the announced size: the end of a regular file
    }
    if (got > cap)
        return false;
    out.truncate(got);
    return true;
}

// The file a path names once symbolic links are followed; empty for a dangling link or a loop.
// A path that names nothing at all is returned as it is (the file will be created).
QByteArray followLinks(QByteArray path)
{
    for (int hop = 0; hop < MaxLinkHops; ++hop) {
        struct stat st = {};
        if (::lstat(path.constData(), &st) != 0)
            return hop == 0 && errno == ENOENT ? path : QByteArray();
        if (!S_ISLNK(st.st_mode))
            return path;
        QByteArray target(PATH_MAX, Qt::Uninitialized);
        const ssize_t n = ::readlink(path.constData(), target.data(), PATH_MAX);
        if (n <= 0 || n >= PATH_MAX)
            return {};
        target.truncate(n);
        if (!target.startsWith('/')) {
            const qsizetype slash = path.lastIndexOf('/');
            if (slash >= 0)
                target.prepend(path.left(slash + 1));
        }
        path = target;
    }
    return {};
}

// Temporary files are ".name" + TemporaryMark + six letters or digits: a name no user file and
// no other program's temporary takes. When that would exceed the file system's name limit the
// name is shortened so the temporary name stays within it.
constexpr char TemporaryMark[] = ".varimond-tmp-";
constexpr qsizetype TemporaryMarkLength = sizeof TemporaryMark - 1;
constexpr qsizetype TemporarySuffixLength = 6;

QByteArray temporaryPrefix(const QByteArray &name)
{
    constexpr qsizetype Extra = 1 + TemporaryMarkLength + TemporarySuffixLength;
    const QByteArray stem = name.size() + Extra > NAME_MAX ? name.left(NAME_MAX - Extra) : name;
    return '.' + stem + TemporaryMark;
}

// True for the name of any write's temporary: a leading dot, a name, the mark, and six letters
// or digits at the end.
bool isTemporaryName(const char *entry)
{
    const size_t length = std::strlen(entry);
    constexpr size_t Tail = TemporaryMarkLength + TemporarySuffixLength;
    if (length < Tail + 2 || entry[0] != '.')
        return false;
    const char *mark = entry + length - Tail;
    if (std::memcmp(mark, TemporaryMark, TemporaryMarkLength) != 0)
        return false;
    for (const char *c = mark + TemporaryMarkLength; *c; ++c) {
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9')))
            return false;
    }
    return true;
}

// Lists the folder open as @p listing from its current read position to its end.
void removeStaleIn(int listing)
{
    // A write in progress in another instance lives for milliseconds; a minute is far past it.
    constexpr time_t MinimumAge = 60;
    const time_t now = ::time(nullptr);
    alignas(LinuxDirent64) char buffer[16 * 1024];
    for (;;) {
        const ssize_t got = ::getdents64(listing, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const LinuxDirent64 *>(buffer + at);
            at += entry->d_reclen;
            if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN)
                continue;
            if (!isTemporaryName(entry->d_name))
                continue;
            struct stat st = {};
            if (::fstatat(listing, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(st.st_mode) && now - st.st_mtime >= MinimumAge)
                ::unlinkat(listing, entry->d_name, 0);
        }
    }
}

qint64 modificationTime(const struct stat &st)
{
    return static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

} // namespace

void removeStaleWriteTemporaries(int folder)
{
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0)
        return;
    const FileDescriptor own(listing); // its own read position: the caller's is left alone
    removeStaleIn(listing);
}

void removeStaleWriteTemporaries(const QString &path)
{
    const int folder =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    const FileDescriptor own(folder);
    removeStaleWriteTemporaries(folder);
}

namespace {

uid_t effectiveUser()
{
    static const uid_t user = ::geteuid();
    return user;
}

QByteArray randomSuffix()
{
    static constexpr char Alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray suffix(6, Qt::Uninitialized);
    for (char &c : suffix)
        c = Alphabet[QRandomGenerator::global()->bounded(62)];
    return suffix;
}

} // namespace

void IniFile::load(Intent intent, int folder, const QByteArray &name)
{
    // Opened by its full path, or by its name in a folder the caller holds open.
    const bool relative = folder >= 0 && intent != Intent::Own;
    const QByteArray native = relative ? name : QFile::encodeName(m_path);
    const int base = relative ? folder : AT_FDCWD;
    constexpr int Common = O_CLOEXEC | O_NONBLOCK | O_NOCTTY; // a FIFO must not block the open
    int fd = -1;
    if (intent == Intent::Own) {
        fd = openOwnFile(m_path);
        m_linkKnown = true;
        m_openedForWriting = fd >= 0;
    } else if (intent == Intent::Update) {
        // Read-write without following a link first: the open that reads the file also answers
        // whether it may be written and whether the path is a link.
        fd = ::openat(base, native.constData(), O_RDWR | O_NOFOLLOW | Common);
        if (fd >= 0) {
            m_openedForWriting = true;
            m_linkKnown = true;
        } else if (errno == ELOOP) {
            m_linkKnown = m_viaLink = true;
            fd = ::openat(base, native.constData(), O_RDWR | Common);
            m_openedForWriting = fd >= 0;
        } else if (errno == ENOENT) {
            m_linkKnown = true;
        }
        if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM || errno == ETXTBSY))
            fd = ::openat(base, native.constData(), O_RDONLY | Common);
    } else {
        fd = ::openat(base, native.constData(), O_RDONLY | Common);
    }
    if (fd < 0) {
        // Missing (or a dangling link): defaults. Anything else is there but cannot be read,
        // and must never be replaced by a write.
        m_exists = errno != ENOENT && errno != ENOTDIR;
        // What stands at the name of an own file that is no plain file of one link is not
        // read, and a write replaces it (never writing through it).
        if (intent == Intent::Own && (errno == ELOOP || errno == EINVAL))
            m_exists = false;
        m_unreadable = m_exists;
        return;
    }
    const FileDescriptor file(fd);
    m_exists = true;
    struct stat st = {};
    if (::fstat(fd, &st) != 0) {
        m_unreadable = true;
        return;
    }
    m_modeKnown = true;
    m_mode = st.st_mode & 07777;
    m_uid = st.st_uid;
    m_gid = st.st_gid;
    m_device = st.st_dev;
    m_inode = st.st_ino;
    m_readSize = st.st_size;
    m_readTime = modificationTime(st);
    QByteArray data;
    if (!S_ISREG(st.st_mode) || st.st_size > MaxFileSize ||
        !readAll(fd, st.st_size, MaxFileSize, data)) {
        m_unreadable = true;
        return;
    }

    if (data.startsWith("\xEF\xBB\xBF")) {
        m_encoding = Encoding::Utf8Bom;
        data.remove(0, 3);
    } else if (data.startsWith("\xFF\xFE") || data.startsWith("\xFE\xFF")) {
        m_encoding = data.startsWith("\xFF\xFE") ? Encoding::Utf16LE : Encoding::Utf16BE;
        const auto codec =
            m_encoding == Encoding::Utf16LE ? QStringConverter::Utf16LE : QStringConverter::Utf16BE;
        const QByteArrayView body = QByteArrayView(data).sliced(2);
        QStringDecoder decoder(codec, QStringDecoder::Flag::Stateless |
                                          QStringDecoder::Flag::ConvertInitialBom);
        const QString text = decoder.decode(body);
        m_text = text.toUtf8();
        // Written back only when the text comes back byte for byte (no odd byte, no lone
        // surrogate): a write must never damage the lines it does not touch.
        QStringEncoder encoder(codec, QStringEncoder::Flag::Stateless);
        const QByteArray again = encoder.encode(QString::fromUtf8(m_text));
        m_writeRefused = decoder.hasError() || QByteArrayView(again) != body;
        return;
    }
    m_text = std::move(data);
}

IniFile::Look IniFile::holdsInteger(int folder, const char *name, const QString &section,
                                    const QString &key, int value)
{
    // Read only: a file opened for writing costs more to close, and thousands are looked at.
    // Whether it may be written is told by its owner and write bit, as the read-write open of
    // load() would tell it on a writable file system: a file of someone else's is left to that
    // open. Any link on the way leaves the answer to the usual open.
    const FileDescriptor file(
        openBeneath(folder, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.get() < 0)
        return Look::Unreached;
    struct stat st = {};
    // The write bit as mayWriteUnchanged() reads it; a file that fills the buffer is left to the
    // usual read.
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR) == 0 ||
        (st.st_uid != effectiveUser() && effectiveUser() != 0) || st.st_size >= 4096)
        return Look::Reached;
    char buffer[4096];
    ssize_t got;
    do {
        got = ::read(file.get(), buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    // A short read of a regular file is its end.
    if (got < 0 || got >= static_cast<ssize_t>(sizeof buffer))
        return Look::Reached;
    QByteArrayView text(buffer, got);
    if (text.startsWith("\xFF\xFE") || text.startsWith("\xFE\xFF"))
        return Look::Reached; // UTF-16: compared after decoding, by the usual read
    if (text.startsWith("\xEF\xBB\xBF"))
        text = text.sliced(3);
    char digits[16];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    Q_UNUSED(error); // an int always fits
    return textHolds(text, section, key, QByteArrayView(digits, end - digits)) ? Look::Holds
                                                                               : Look::Reached;
}

QByteArray IniFile::serialise(const QByteArray &text) const
{
    switch (m_encoding) {
    case Encoding::Utf16LE:
    case Encoding::Utf16BE: {
        const bool le = m_encoding == Encoding::Utf16LE;
        QStringEncoder encoder(le ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
                               QStringEncoder::Flag::Stateless);
        return QByteArray(le ? "\xFF\xFE" : "\xFE\xFF", 2) +
               encoder.encode(QString::fromUtf8(text));
    }
    case Encoding::Utf8Bom:
        return "\xEF\xBB\xBF" + text;
    case Encoding::Utf8:
        break;
    }
    return text;
}

QByteArray IniFile::bytesOnDisk() const
{
    if (!m_exists)
        return QByteArray();
    return serialise(m_deferred ? m_onDisk : m_text);
}

// The write bits as the Windows read-only attribute would see them: a file that no longer
// carries its owner's write bit is read-only, for root as well.
bool IniFile::mayWriteUnchanged() const
{
    mode_t mode = m_mode;
    if (!m_modeKnown) { // never opened (no read permission): ask the file system
        struct stat st = {};
        if (::stat(QFile::encodeName(m_path).constData(), &st) != 0)
            return false;
        mode = st.st_mode;
    }
    if ((mode & S_IWUSR) == 0)
        return false;
    return m_openedForWriting || ::access(QFile::encodeName(m_path).constData(), W_OK) == 0;
}

bool IniFile::mayWrite() const
{
    if (m_unreadable || m_writeRefused || m_text.size() + 4096 > MaxFileSize)
        return false;
    if (m_exists)
        return mayWriteUnchanged();
    const QByteArray native = QFile::encodeName(m_path);
    const qsizetype slash = native.lastIndexOf('/');
    const QByteArray folder =
        slash < 0 ? QByteArray(".") : native.left(std::max<qsizetype>(slash, 1));
    struct stat st = {};
    return ::stat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) &&
           ::access(folder.constData(), W_OK) == 0;
}

void IniFile::replaceWith(const QByteArray &content)
{
    if (m_unreadable)
        throw iniWriteError(m_path);
    commit(content);
}

void IniFile::commit(const QByteArray &content)
{
    if (m_intent == Intent::Own) {
        if (!writeOwnFile(m_path, content))
            throw iniWriteError(m_path);
        m_exists = m_modeKnown = m_openedForWriting = true;
        m_mode = 0600;
        return;
    }
    QByteArray target = QFile::encodeName(m_path);
    if (!m_linkKnown || m_viaLink) {
        // Write through a symbolic link to the file it names, keeping the link; a link that
        // names nothing (or itself) is not replaced by a regular file.
        target = followLinks(target);
        if (target.isEmpty())
            throw iniWriteError(m_path);
    }
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folderPath =
        slash < 0 ? QByteArray(".") : target.left(std::max<qsizetype>(slash, 1));

    // A folder the caller placed is reached from the options folder it holds open, with no link
    // on the way, so that no folder above it can have been swapped for one (or moved out of the
    // root behind one) since it was placed.
    const bool placed = m_placedRoot >= 0 && m_intent == Intent::Update && m_linkKnown &&
                        !m_viaLink && !m_writeRoot.isEmpty();
    const QByteArray name = slash < 0 ? target : target.mid(slash + 1);
    const FileDescriptor folder(
        placed ? (m_placedFolder.isEmpty() ? ::fcntl(m_placedRoot, F_DUPFD_CLOEXEC, 0)
                                           : openBeneath(m_placedRoot, m_placedFolder.constData(),
                                                         O_RDONLY | O_DIRECTORY | O_CLOEXEC))
               : ::open(folderPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat folderStat = {};
    if (folder.get() < 0 || ::fstat(folder.get(), &folderStat) != 0 ||
        (folderStat.st_mode & S_IWUSR) == 0)
        throw iniWriteError(m_path);
    if (m_exists && !mayWriteUnchanged())
        throw iniWriteError(m_path);

    if (placed && m_exists) {
        // Still the file that was read: not replaced, changed or swapped for a link since.
        struct stat now = {};
        if (::fstatat(folder.get(), name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(now.st_mode) || now.st_dev != m_device || now.st_ino != m_inode ||
            now.st_size != m_readSize || modificationTime(now) != m_readTime)
            throw iniWriteError(m_path);
    }

    if (!m_writeRoot.isEmpty() && !placed) {
        // The folder the file really lands in, links on the way and at the end followed.
        char real[PATH_MAX];
        if (::realpath(folderPath.constData(), real) == nullptr ||
            !isWithin(QFile::decodeName(real), m_writeRoot))
            throw iniWriteError(m_path);
    }

    const QByteArray prefix = temporaryPrefix(name);
    // The folder was opened here: its own read position lists it without another open.
    if (placed)
        removeStaleIn(folder.get());
    else
        removeStaleWriteTemporaries(folder.get());

    const mode_t mask = processUmask();
    const mode_t wanted = m_exists ? static_cast<mode_t>(m_mode) : (0666 & ~mask);
    QByteArray tmpName;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmpName = prefix + randomSuffix();
        fd = ::openat(folder.get(), tmpName.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, wanted & 0777);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        throw iniWriteError(m_path);
    bool ok = writeAll(fd, content);
    // Keep the owner when root rewrites someone else's file; a change of owner drops set-id
    // bits, so the mode is set again after it.
    const bool chowned = ok && m_exists && effectiveUser() == 0 && (m_uid != 0 || m_gid != 0) &&
                         ::fchown(fd, m_uid, m_gid) == 0;
    if (ok && (chowned || (wanted & 0777 & ~mask) != wanted))
        ok = ::fchmod(fd, wanted) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::renameat(folder.get(), tmpName.constData(), folder.get(), name.constData()) == 0;
    if (!ok) {
        ::unlinkat(folder.get(), tmpName.constData(), 0);
        throw iniWriteError(m_path);
    }
    if (!m_exists) {
        m_mode = wanted;
        m_uid = effectiveUser();
        m_gid = ::getegid();
        m_openedForWriting = true;
        m_modeKnown = true;
    }
    m_exists = true;
}

bool copyRegularFile(int from, const QString &name, int to, qint64 maxSize)
{
    const QByteArray native = QFile::encodeName(name);
    const FileDescriptor in(::openat(from, native.constData(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st = {};
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > maxSize)
        return false;
    QByteArray content;
    if (!readAll(in.get(), st.st_size, maxSize, content))
        return false;

    const QByteArray prefix = temporaryPrefix(native);
    QByteArray tmpName;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmpName = prefix + randomSuffix();
        fd = ::openat(to, tmpName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0644);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, content);
    ok = (::close(fd) == 0) && ok;
    // A rename replaces whatever stands at the name, a link included, and never follows it.
    if (ok)
        ok = ::renameat(to, tmpName.constData(), to, native.constData()) == 0;
    if (!ok)
        ::unlinkat(to, tmpName.constData(), 0);
    return ok;
}

} // namespace platform
