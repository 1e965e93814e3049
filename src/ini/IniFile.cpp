#include "ini/IniFile.h"

#include "files/Error.h"
#include "files/TextCodec.h"

#include <QSet>
#include <QStringDecoder>

#include <charconv>
#include <string_view>
#include <unordered_set>

namespace platform {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Narrows [b, e) of @p d to its text without surrounding blanks.
void trim(const char *d, qsizetype &b, qsizetype &e)
{
    while (b < e && isBlank(d[b]))
        ++b;
    while (e > b && isBlank(d[e - 1]))
        --e;
}

QByteArrayView trimmedView(QByteArrayView v)
{
    qsizetype b = 0;
    qsizetype e = v.size();
    trim(v.data(), b, e);
    return v.sliced(b, e - b);
}

// UTF-8 when it is valid UTF-8, else Windows-1252. Unlike a stream decoder this keeps a U+FEFF
// at the start: inside a file it is a character of the name or value, not a byte-order mark.
QString decodeKeepingMark(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (!decoder.hasError())
        return text;
    return decodeWindows1252(bytes.toByteArray());
}

bool sameName(QByteArrayView stored, const QString &wanted)
{
    // Names are nearly always plain ASCII, which reads the same in every encoding: compare it
    // in place instead of decoding a copy.
    bool ascii = true;
    for (qsizetype i = 0; i < stored.size() && ascii; ++i)
        ascii = static_cast<unsigned char>(stored[i]) < 0x80;
    if (ascii) {
        // Case rules map one character to one, and no character beyond ASCII (nor a surrogate
        // pair) folds to one within it: a name of ASCII characters can only equal a name as
        // long. Most lines of a file fail on their length alone.
        if (stored.size() != wanted.size())
            return false;
        for (qsizetype i = 0; i < stored.size(); ++i) {
            const char16_t w = wanted[i].unicode();
            if (w >= 0x80) // a letter such as the Kelvin sign folds into ASCII: the full rules
                return wanted.compare(QLatin1StringView(stored.data(), stored.size()),
                                      Qt::CaseInsensitive) == 0;
            const auto lower = [](unsigned c) { return c - 'A' < 26u ? c + 32 : c; };
            if (lower(w) != lower(static_cast<unsigned char>(stored[i])))
                return false;
        }
        return true;
    }
    return decodeKeepingMark(stored).compare(wanted, Qt::CaseInsensitive) == 0;
}

QString unquote(QByteArrayView v)
{
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.sliced(1, v.size() - 2);
    QString text = decodeKeepingMark(v);
    if (text.size() > IniFile::MaxValueLength)
        text.truncate(IniFile::MaxValueLength);
    return text;
}

// The end of the line that starts at @p i: the first CR or LF, or @p n.
qsizetype lineEnd(const char *d, qsizetype i, qsizetype n)
{
    while (i < n && d[i] != '\n' && d[i] != '\r')
        ++i;
    return i;
}

// Past the line ending at @p e ("\r\n", "\n", "\r" or none at the end of the text).
qsizetype pastEnding(const char *d, qsizetype e, qsizetype n)
{
    if (e >= n)
        return n;
    if (d[e] == '\r' && e + 1 < n && d[e + 1] == '\n')
        return e + 2;
    return e + 1;
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

// Indexes the section headers and key lines of m_text in one pass.
void IniFile::parse()
{
    m_sectionIndexBuilt = false;
    m_entries.clear();
    m_entries.reserve(16); // a descriptor's sections and keys without growing
    const char *d = m_text.constData();
    const qsizetype n = m_text.size();
    qsizetype start = 0;
    while (start < n) {
        const qsizetype e = lineEnd(d, start, n);
        qsizetype b = start;
        while (b < e && isBlank(d[b]))
            ++b;
        if (b < e) {
            const auto line = QByteArrayView(d + b, e - b);
            bool indexed = false;
            if (line.front() == '[') {
                // A header needs its closing bracket; without one the line is plain text and
                // does not end the section it stands in.
                indexed = line.lastIndexOf(']') > 0;
            } else if (line.front() != ';' && line.front() != '#') {
                indexed = line.indexOf('=') >= 0;
            }
            if (indexed)
                m_entries.push_back({static_cast<quint32>(start), static_cast<quint32>(e)});
        }
        start = pastEnding(d, e, n);
    }
}

bool IniFile::textHolds(QByteArrayView text, const QString &section, const QString &key,
                        QByteArrayView value)
{
    // The lines as parse() indexes them, the section and key as findSectionInPlace() and
    // findKey() find them, the value as writeValue() compares it.
    const char *d = text.data();
    const qsizetype n = text.size();
    bool inSection = false;
    for (qsizetype start = 0; start < n;) {
        const qsizetype e = lineEnd(d, start, n);
        qsizetype b = start;
        while (b < e && isBlank(d[b]))
            ++b;
        start = pastEnding(d, e, n);
        if (b == e)
            continue;
        const auto line = QByteArrayView(d + b, e - b);
        if (line.front() == '[') {
            const qsizetype close = line.lastIndexOf(']');
            if (close <= 0)
                continue;
            if (inSection)
                return false; // the first section of the name ends without the key
            inSection = sameName(trimmedView(line.sliced(1, close - 1)), section);
            continue;
        }
        if (!inSection || line.front() == ';' || line.front() == '#')
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0 || !sameName(trimmedView(line.first(equals)), key))
            continue;
        return trimmedView(line.sliced(equals + 1)) == value;
    }
    return false;
}

bool IniFile::isSection(const Entry &entry) const
{
    const char *d = m_text.constData();
    qsizetype b = entry.begin;
    while (isBlank(d[b]))
        ++b;
    return d[b] == '[';
}

// A section's name lies between '[' and the last ']' of its line; a key's before the first '='.
// Both lose surrounding blanks.
QByteArrayView IniFile::entryName(const Entry &entry) const
{
    const auto line = QByteArrayView(m_text.constData() + entry.begin, entry.end - entry.begin);
    const QByteArrayView t = trimmedView(line);
    if (t.front() == '[')
        return trimmedView(t.sliced(1, t.lastIndexOf(']') - 1));
    return trimmedView(line.first(line.indexOf('=')));
}

QByteArrayView IniFile::entryValue(const Entry &entry) const
{
    const auto line = QByteArrayView(m_text.constData() + entry.begin, entry.end - entry.begin);
    return trimmedView(line.sliced(line.indexOf('=') + 1));
}

IniFile::IniFile(QString path) : IniFile(std::move(path), Intent::Read) {}

IniFile::IniFile(QString path, Intent intent) : m_path(std::move(path)), m_intent(intent)
{
    load(intent);
    parse();
}

IniFile::IniFile(QString path, Intent intent, int folder, const QByteArray &name)
    : m_path(std::move(path)), m_intent(intent)
{
    load(intent, folder, name);
    parse();
}

int IniFile::findSection(const QString &section) const
{
    // Small files (descriptors) are searched in place. In large ones (themes) the headers are
    // indexed as far as the look-ups have needed: reading the first entries of a large theme
    // touches only its first sections, and a name that is missing is searched for once, after
    // which every look-up is a hash probe. Each distinct spelling is folded once, so a file of
    // millions of headers that repeat a few names costs a hash of their bytes each.
    constexpr size_t IndexFrom = 64;
    if (m_entries.size() < IndexFrom)
        return findSectionInPlace(section);
    if (!m_sectionIndexBuilt) {
        m_sectionIndex.clear();
        m_spellings.clear();
        m_indexScanned = 0;
        m_sectionIndexBuilt = true;
    }
    const QString wanted = section.toCaseFolded();
    const auto known = m_sectionIndex.constFind(wanted);
    if (known != m_sectionIndex.constEnd())
        return *known;
    while (m_indexScanned < m_entries.size()) {
        const size_t i = m_indexScanned++;
        if (!isSection(m_entries[i]))
            continue;
        const QByteArrayView raw = entryName(m_entries[i]);
        if (!m_spellings.insert(std::string_view(raw.data(), static_cast<size_t>(raw.size())))
                 .second)
            continue;
        bool ascii = true;
        for (qsizetype c = 0; c < raw.size() && ascii; ++c)
            ascii = static_cast<unsigned char>(raw[c]) < 0x80;
        QString name = ascii ? QString::fromLatin1(raw.data(), raw.size()) : decodeKeepingMark(raw);
        name = name.toCaseFolded();
        if (m_sectionIndex.contains(name))
            continue; // a later header of a name seen before: the first one is the section
        m_sectionIndex.insert(name, static_cast<int>(i));
        if (name == wanted)
            return static_cast<int>(i);
    }
    return -1;
}

int IniFile::findSectionInPlace(const QString &section) const
{
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (isSection(m_entries[i]) && sameName(entryName(m_entries[i]), section))
            return static_cast<int>(i);
    }
    return -1;
}

int IniFile::findKey(int sectionEntry, const QString &key) const
{
    for (size_t i = static_cast<size_t>(sectionEntry) + 1; i < m_entries.size(); ++i) {
        if (isSection(m_entries[i]))
            break;
        if (sameName(entryName(m_entries[i]), key))
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
    return unquote(entryValue(m_entries[static_cast<size_t>(k)]));
}

int IniFile::readInteger(const QString &section, const QString &key, int defaultValue) const
{
    const int k = findValue(section, key);
    if (k < 0)
        return defaultValue;
    return parseIniInteger(unquote(entryValue(m_entries[static_cast<size_t>(k)])), defaultValue);
}

bool IniFile::readBool(const QString &section, const QString &key, bool defaultValue) const
{
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

QStringList IniFile::sections() const
{
    QStringList result;
    QSet<QString> seen; // case-folded, so that the list stays linear in the file's size
    for (const Entry &entry : m_entries) {
        if (!isSection(entry))
            continue;
        QString name = decodeKeepingMark(entryName(entry));
        const QString folded = name.toCaseFolded();
        if (seen.contains(folded))
            continue;
        seen.insert(folded);
        result.append(std::move(name));
    }
    return result;
}

int IniFile::sectionCount() const
{
    int count = 0;
    for (const Entry &entry : m_entries)
        count += isSection(entry) ? 1 : 0;
    return count;
}

QByteArray IniFile::newLineEnding() const
{
    const char *d = m_text.constData();
    const qsizetype n = m_text.size();
    const qsizetype e = lineEnd(d, 0, n);
    if (e == n)
        return QByteArrayLiteral("\n");
    return QByteArray(d + e, pastEnding(d, e, n) - e);
}

// Replaces @p removed bytes at @p at with @p inserted, moving the entries from @p firstShifted
// on with the text behind them.
void IniFile::splice(qsizetype at, qsizetype removed, const QByteArray &inserted,
                     size_t firstShifted)
{
    m_text.replace(at, removed, inserted);
    const auto delta = static_cast<quint32>(inserted.size() - removed); // wraps for shrinking
    for (size_t i = firstShifted; i < m_entries.size(); ++i) {
        m_entries[i].begin += delta;
        m_entries[i].end += delta;
    }
}

void IniFile::writeString(const QString &section, const QString &key, const QString &value)
{
    QString oneLine = value;
    if (oneLine.contains(QLatin1Char('\r')) || oneLine.contains(QLatin1Char('\n')))
        oneLine.replace(QLatin1Char('\r'), QLatin1Char(' '))
            .replace(QLatin1Char('\n'), QLatin1Char(' '));
    writeValue(section, key, oneLine.toUtf8());
}

void IniFile::writeValue(const QString &section, const QString &key, QByteArrayView valueBytes)
{
    if (m_unreadable || m_writeRefused)
        throw iniWriteError(m_path); // never replace a file we could not read with a new one
    const QByteArray before = m_deferred ? m_onDisk : m_text;
    if (m_text.size() + section.size() * 3 + key.size() * 3 + valueBytes.size() + 16 > MaxFileSize)
        throw iniWriteError(m_path); // the file would grow past what may be read back

    // Searched in place: a run of writes would otherwise rebuild the index after each one.
    const int s = findSectionInPlace(section);
    if (s >= 0) {
        const int k = findKey(s, key);
        if (k >= 0) {
            Entry &entry = m_entries[static_cast<size_t>(k)];
            // A value that already reads as written keeps its line as the author wrote it.
            if (entryValue(entry) != valueBytes) {
                QByteArray line = entryName(entry).toByteArray();
                line.append('=').append(valueBytes);
                const qsizetype oldLength = entry.end - entry.begin;
                entry.end = entry.begin + static_cast<quint32>(line.size());
                splice(entry.begin, oldLength, line, static_cast<size_t>(k) + 1);
            }
        } else {
            // After the section's last non-blank line, so a blank separator line stays last.
            const char *d = m_text.constData();
            const qsizetype n = m_text.size();
            size_t nextSection = static_cast<size_t>(s) + 1;
            while (nextSection < m_entries.size() && !isSection(m_entries[nextSection]))
                ++nextSection;
            const qsizetype limit =
                nextSection < m_entries.size() ? m_entries[nextSection].begin : n;
            qsizetype lastEnd = m_entries[static_cast<size_t>(s)].end;
            for (qsizetype at = pastEnding(d, lastEnd, n); at < limit;) {
                const qsizetype e = lineEnd(d, at, n);
                if (!trimmedView(QByteArrayView(d + at, e - at)).isEmpty())
                    lastEnd = e;
                at = pastEnding(d, e, n);
            }
            const QByteArray eol = newLineEnding();
            QByteArray line = key.toUtf8();
            line.append('=').append(valueBytes);
            const qsizetype at = pastEnding(d, lastEnd, n);
            QByteArray added;
            if (lastEnd == n) // the section's last line ends the file without a line break
                added = eol;
            const auto begin = static_cast<quint32>(at + added.size());
            const auto end = begin + static_cast<quint32>(line.size());
            added.append(line).append(eol);
            m_entries.insert(m_entries.begin() + static_cast<std::ptrdiff_t>(nextSection),
                             Entry{begin, end});
            splice(at, 0, added, nextSection + 1);
        }
    } else {
        const QByteArray eol = newLineEnding();
        if (!m_text.isEmpty() && !m_text.endsWith('\n') && !m_text.endsWith('\r'))
            m_text.append(eol);
        const QByteArray header = '[' + section.toUtf8() + ']';
        QByteArray line = key.toUtf8();
        line.append('=').append(valueBytes);
        const auto headerBegin = static_cast<quint32>(m_text.size());
        m_entries.push_back({headerBegin, headerBegin + static_cast<quint32>(header.size())});
        const auto lineBegin = headerBegin + static_cast<quint32>(header.size() + eol.size());
        m_entries.push_back({lineBegin, lineBegin + static_cast<quint32>(line.size())});
        m_text.append(header).append(eol).append(line).append(eol);
    }

    m_sectionIndexBuilt = false; // entries were added or moved
    if (!m_deferred)
        store(before);
}

void IniFile::clear()
{
    m_sectionIndexBuilt = false;
    // The old content is replaced as a whole, so a file that could not be read may be replaced.
    m_text.clear();
    m_entries.clear();
    m_encoding = Encoding::Utf8;
    m_unreadable = false;
    m_writeRefused = false;
}

void IniFile::beginUpdate()
{
    if (m_deferred)
        return;
    m_onDisk = m_text;
    m_deferred = true;
}

void IniFile::flush()
{
    if (!m_deferred)
        return;
    m_deferred = false;
    const QByteArray before = std::move(m_onDisk);
    m_onDisk.clear();
    store(before);
}

// Puts the text in memory on disk, @p before being what the file holds now.
void IniFile::store(const QByteArray &before)
{
    if (!m_exists && m_text.isEmpty())
        return; // nothing was written: no empty file comes into being
    if (m_exists && m_text == before) {
        // Nothing to change on disk, but a file that may not be written still refuses.
        if (!mayWriteUnchanged())
            throw iniWriteError(m_path);
        return;
    }
    try {
        const QByteArray content = serialise();
        if (content.size() > MaxFileSize)
            throw iniWriteError(m_path);
        commit(content);
    } catch (...) {
        // Keep the object in step with the file, which still holds the old content.
        *this = IniFile(m_path, m_intent);
        throw;
    }
}

void IniFile::writeInteger(const QString &section, const QString &key, int value)
{
    // Formatted in place: a tick writes thousands of these, most of them unchanged.
    char digits[16];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    Q_UNUSED(error); // an int always fits
    writeValue(section, key, QByteArrayView(digits, end - digits));
}

void IniFile::writeBool(const QString &section, const QString &key, bool value)
{
    writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
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
    IniFile(path, Intent::Update).writeString(section, key, value);
}

void IniFile::writeInteger(const QString &path, const QString &section, const QString &key,
                           int value)
{
    IniFile(path, Intent::Update).writeInteger(section, key, value);
}

} // namespace platform
