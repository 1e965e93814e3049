#include "platform/IniFile.h"

#include "platform/Error.h"
#include "platform/TextCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

QByteArray trimmed(const QByteArray &bytes)
{
    qsizetype begin = 0;
    qsizetype end = bytes.size();
    while (begin < end && isBlank(bytes[begin]))
        ++begin;
    while (end > begin && isBlank(bytes[end - 1]))
        --end;
    return bytes.mid(begin, end - begin);
}

// The section named by a line, or a null array when the line is no section header.
QByteArray sectionName(const QByteArray &line)
{
    const QByteArray t = trimmed(line);
    if (!t.startsWith('['))
        return {};
    qsizetype close = t.indexOf(']');
    if (close < 0)
        close = t.size();
    QByteArray name = trimmed(t.mid(1, close - 1));
    if (name.isNull())
        name = QByteArray(""); // "[]" is a section with an empty name, not "no section"
    return name;
}

// Splits "key = value"; false for lines that hold no key (blank, comment, no '=').
bool splitKeyLine(const QByteArray &line, QByteArray *key, QByteArray *value)
{
    const qsizetype eq = line.indexOf('=');
    if (eq < 0)
        return false;
    const QByteArray k = trimmed(line.left(eq));
    if (k.startsWith(';') || k.startsWith('#') || k.startsWith('['))
        return false;
    *key = k;
    if (value)
        *value = trimmed(line.mid(eq + 1));
    return true;
}

bool sameName(const char *stored, qsizetype length, const QString &wanted)
{
    // Names are nearly always plain ASCII, which reads the same in every encoding: compare it
    // in place instead of decoding a copy.
    bool ascii = true;
    for (qsizetype i = 0; i < length && ascii; ++i)
        ascii = static_cast<unsigned char>(stored[i]) < 0x80;
    if (ascii)
        return wanted.compare(QLatin1StringView(stored, length), Qt::CaseInsensitive) == 0;
    return decodeText(QByteArray(stored, length)).compare(wanted, Qt::CaseInsensitive) == 0;
}

QString unquote(const QByteArray &raw)
{
    QByteArray v = raw;
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.mid(1, v.size() - 2);
    QString text = decodeText(v);
    if (text.size() > IniFile::MaxValueLength)
        text.truncate(IniFile::MaxValueLength);
    return text;
}

// Write bits as the Windows read-only attribute would see them: a file that no longer carries
// its owner's write bit is read-only, for root as well.
bool mayWrite(const QString &path, bool isDir)
{
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    if (::stat(native.constData(), &st) != 0)
        return false;
    if (isDir != S_ISDIR(st.st_mode))
        return false;
    if ((st.st_mode & S_IWUSR) == 0)
        return false;
    return ::access(native.constData(), W_OK) == 0;
}

} // namespace

int parseIniInteger(const QString &text, int defaultValue)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    bool hex = false;
    if (i < n && text[i] == QLatin1Char('$')) {
        hex = true;
        ++i;
    } else if (i < n && (text[i] == QLatin1Char('x') || text[i] == QLatin1Char('X'))) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == QLatin1Char('0') &&
               (text[i + 1] == QLatin1Char('x') || text[i + 1] == QLatin1Char('X'))) {
        hex = true;
        i += 2;
    }
    if (i >= n)
        return defaultValue;
    quint64 value = 0;
    for (; i < n; ++i) {
        const char16_t c = text[i].unicode();
        int digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (hex && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (hex && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return defaultValue;
        value = value * (hex ? 16 : 10) + static_cast<quint64>(digit);
        if (value > 0xFFFFFFFFull)
            return defaultValue;
    }
    if (hex) {
        const auto pattern = static_cast<qint32>(static_cast<quint32>(value));
        return negative ? static_cast<int>(0u - static_cast<quint32>(pattern)) : pattern;
    }
    if (negative) {
        if (value > 2147483648ull)
            return defaultValue;
        return static_cast<int>(-static_cast<qint64>(value));
    }
    if (value > 2147483647ull)
        return defaultValue;
    return static_cast<int>(value);
}

// The same reading of a line as sectionName() and splitKeyLine(), kept as positions in the
// line so that look-ups compare names in place.
void IniFile::classify(Line &line)
{
    const char *d = line.text.constData();
    const qsizetype n = line.text.size();
    auto trim = [d](qsizetype &b, qsizetype &e) {
        while (b < e && isBlank(d[b]))
            ++b;
        while (e > b && isBlank(d[e - 1]))
            --e;
    };
    qsizetype b = 0;
    qsizetype e = n;
    trim(b, e);
    if (b < e && d[b] == '[') {
        qsizetype close = b + 1;
        while (close < e && d[close] != ']')
            ++close;
        qsizetype nb = b + 1;
        qsizetype ne = close;
        trim(nb, ne);
        line.kind = Line::Section;
        line.nameBegin = nb;
        line.nameLength = ne - nb;
        return;
    }
    line.kind = Line::Other;
    qsizetype eq = 0;
    while (eq < n && d[eq] != '=')
        ++eq;
    if (eq == n)
        return;
    qsizetype kb = 0;
    qsizetype ke = eq;
    trim(kb, ke);
    if (kb < ke && (d[kb] == ';' || d[kb] == '#' || d[kb] == '['))
        return;
    line.kind = Line::Key;
    line.nameBegin = kb;
    line.nameLength = ke - kb;
}

IniFile::IniFile(QString path) : m_path(std::move(path))
{
    QFile file(m_path);
    const QFileInfo info(m_path);
    // Asking for the type first takes one stat that answers the existence as well.
    const bool isFile = info.isFile();
    m_exists = isFile || info.exists();
    if (!m_exists)
        return;
    if (!isFile || info.size() > MaxFileSize || !file.open(QIODevice::ReadOnly)) {
        m_unreadable = true;
        return;
    }
    QByteArray data = file.readAll();
    if (data.startsWith("\xEF\xBB\xBF")) {
        m_bom = true;
        data.remove(0, 3);
    }
    qsizetype start = 0;
    const qsizetype n = data.size();
    const char *d = data.constData();
    while (start < n) {
        qsizetype i = start;
        while (i < n && d[i] != '\n' && d[i] != '\r')
            ++i;
        Line line{data.mid(start, i - start), {}};
        if (i < n) {
            if (d[i] == '\r' && i + 1 < n && d[i + 1] == '\n') {
                line.ending = "\r\n";
                i += 2;
            } else {
                line.ending = QByteArray(1, d[i]);
                ++i;
            }
        }
        classify(line);
        m_lines.push_back(std::move(line));
        start = i;
    }
}

int IniFile::findSection(const QString &section) const
{
    for (size_t i = 0; i < m_lines.size(); ++i) {
        const Line &line = m_lines[i];
        if (line.kind == Line::Section &&
            sameName(line.text.constData() + line.nameBegin, line.nameLength, section))
            return static_cast<int>(i);
    }
    return -1;
}

int IniFile::findKey(int sectionLine, const QString &key) const
{
    for (size_t i = static_cast<size_t>(sectionLine) + 1; i < m_lines.size(); ++i) {
        const Line &line = m_lines[i];
        if (line.kind == Line::Section)
            break;
        if (line.kind == Line::Key &&
            sameName(line.text.constData() + line.nameBegin, line.nameLength, key))
            return static_cast<int>(i);
    }
    return -1;
}

int IniFile::findValue(const QString &section, const QString &key) const
{
    const int s = findSection(section);
    return s < 0 ? -1 : findKey(s, key);
}

bool IniFile::hasKey(const QString &section, const QString &key) const
{
    return findValue(section, key) >= 0;
}

QString IniFile::readString(const QString &section, const QString &key,
                            const QString &defaultValue) const
{
    const int k = findValue(section, key);
    if (k < 0)
        return defaultValue;
    QByteArray name, value;
    splitKeyLine(m_lines[static_cast<size_t>(k)].text, &name, &value);
    return unquote(value);
}

int IniFile::readInteger(const QString &section, const QString &key, int defaultValue) const
{
    const int k = findValue(section, key);
    if (k < 0)
        return defaultValue;
    QByteArray name, value;
    splitKeyLine(m_lines[static_cast<size_t>(k)].text, &name, &value);
    return parseIniInteger(unquote(value), defaultValue);
}

bool IniFile::readBool(const QString &section, const QString &key, bool defaultValue) const
{
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

QStringList IniFile::sections() const
{
    QStringList result;
    for (const Line &line : m_lines) {
        const QByteArray name = sectionName(line.text);
        if (name.isNull())
            continue;
        const QString text = decodeText(name);
        if (!result.contains(text, Qt::CaseInsensitive))
            result.append(text);
    }
    return result;
}

QByteArray IniFile::newLineEnding() const
{
    for (const Line &line : m_lines) {
        if (!line.ending.isEmpty())
            return line.ending;
    }
    return QByteArrayLiteral("\n");
}

QByteArray IniFile::serialise() const
{
    QByteArray out;
    if (m_bom)
        out.append("\xEF\xBB\xBF");
    for (const Line &line : m_lines) {
        out.append(line.text);
        out.append(line.ending);
    }
    return out;
}

void IniFile::writeString(const QString &section, const QString &key, const QString &value)
{
    if (m_unreadable)
        throw iniWriteError(m_path); // never replace a file we could not read with a new one
    const QByteArray before = m_deferred ? m_onDisk : serialise();
    const QByteArray eol = newLineEnding();
    QString oneLine = value;
    oneLine.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray valueBytes = oneLine.toUtf8();

    const int s = findSection(section);
    if (s >= 0) {
        const int k = findKey(s, key);
        if (k >= 0) {
            Line &line = m_lines[static_cast<size_t>(k)];
            QByteArray name;
            splitKeyLine(line.text, &name, nullptr);
            line.text = name + '=' + valueBytes;
            classify(line);
        } else {
            // After the section's last non-blank line, so a blank separator line stays last.
            size_t insertAt = static_cast<size_t>(s) + 1;
            for (size_t i = insertAt; i < m_lines.size(); ++i) {
                if (!sectionName(m_lines[i].text).isNull())
                    break;
                if (!trimmed(m_lines[i].text).isEmpty())
                    insertAt = i + 1;
            }
            if (m_lines[insertAt - 1].ending.isEmpty())
                m_lines[insertAt - 1].ending = eol;
            Line added{key.toUtf8() + '=' + valueBytes, eol};
            classify(added);
            m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt),
                           std::move(added));
        }
    } else {
        if (!m_lines.empty() && m_lines.back().ending.isEmpty())
            m_lines.back().ending = eol;
        Line header{'[' + section.toUtf8() + ']', eol};
        Line added{key.toUtf8() + '=' + valueBytes, eol};
        classify(header);
        classify(added);
        m_lines.push_back(std::move(header));
        m_lines.push_back(std::move(added));
    }

    if (!m_deferred)
        store(before);
}

void IniFile::clear()
{
    // The old content is replaced as a whole, so a file that could not be read may be replaced.
    m_lines.clear();
    m_bom = false;
    m_unreadable = false;
}

void IniFile::beginUpdate()
{
    if (m_deferred)
        return;
    m_onDisk = serialise();
    m_deferred = true;
}

void IniFile::flush()
{
    if (!m_deferred)
        return;
    m_deferred = false;
    store(m_onDisk);
    m_onDisk.clear();
}

// Puts the lines in memory on disk, @p before being what the file holds now.
void IniFile::store(const QByteArray &before)
{
    const QByteArray after = serialise();
    if (!m_exists && after.isEmpty())
        return; // nothing was written: no empty file comes into being
    if (m_exists && after == before) {
        // Nothing to change on disk, but a file that may not be written still refuses.
        if (!mayWrite(QFileInfo(m_path).absoluteFilePath(), false))
            throw iniWriteError(m_path);
        return;
    }
    try {
        commit(after);
    } catch (...) {
        // Keep the object in step with the file, which still holds the old content.
        *this = IniFile(m_path);
        throw;
    }
}

void IniFile::writeInteger(const QString &section, const QString &key, int value)
{
    writeString(section, key, QString::number(value));
}

void IniFile::writeBool(const QString &section, const QString &key, bool value)
{
    writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void IniFile::commit(const QByteArray &content)
{
    // Write through a symbolic link to the file it names, keeping the link.
    QString target = QFileInfo(m_path).absoluteFilePath();
    const QFileInfo targetInfo(target);
    if (targetInfo.isSymLink() && targetInfo.exists())
        target = targetInfo.canonicalFilePath();

    const QString folder = QFileInfo(target).absolutePath();
    const bool existed = QFileInfo::exists(target);
    if ((existed && !mayWrite(target, false)) || !mayWrite(folder, true))
        throw iniWriteError(m_path);

    mode_t mode = 0666; // narrowed by the umask for a new file
    struct stat st {};
    const QByteArray nativeTarget = QFile::encodeName(target);
    if (existed && ::stat(nativeTarget.constData(), &st) == 0)
        mode = st.st_mode & 07777;

    QByteArray tmpName = QFile::encodeName(folder + QStringLiteral("/.") +
                                           QFileInfo(target).fileName() +
                                           QStringLiteral(".XXXXXX"));
    const int fd = ::mkstemp(tmpName.data());
    if (fd < 0)
        throw iniWriteError(m_path);
    bool ok = true;
    const char *p = content.constData();
    qsizetype left = content.size();
    while (ok && left > 0) {
        const ssize_t written = ::write(fd, p, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            ok = false;
            break;
        }
        p += written;
        left -= written;
    }
    if (ok && existed) {
        ok = ::fchmod(fd, mode) == 0;
        if (ok && ::getuid() == 0) // keep the owner when root rewrites someone else's file
            (void)::fchown(fd, st.st_uid, st.st_gid);
    } else if (ok) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ok = ::fchmod(fd, mode & ~mask) == 0;
    }
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(tmpName.constData(), nativeTarget.constData()) == 0;
    if (!ok) {
        ::unlink(tmpName.constData());
        throw iniWriteError(m_path);
    }
    m_exists = true;
}

QString IniFile::readString(const QString &path, const QString &section, const QString &key,
                            const QString &defaultValue)
{
    return IniFile(path).readString(section, key, defaultValue);
}

int IniFile::readInteger(const QString &path, const QString &section, const QString &key,
                         int defaultValue)
{
    return IniFile(path).readInteger(section, key, defaultValue);
}

void IniFile::writeString(const QString &path, const QString &section, const QString &key,
                          const QString &value)
{
    IniFile(path).writeString(section, key, value);
}

void IniFile::writeInteger(const QString &path, const QString &section, const QString &key,
                           int value)
{
    IniFile(path).writeInteger(section, key, value);
}

} // namespace platform
