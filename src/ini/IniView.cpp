#include "ini/IniView.h"

#include "files/TextCodec.h"
#include "ini/IniFile.h"

#include <QByteArray>
#include <QStringDecoder>

#include <cstring>

namespace platform {

namespace {

// ASCII letters in lower case, every other code as it is.
constexpr char16_t foldAscii(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

// Names are compared eight bytes at a time: a word of eight bytes as they lie in memory.
constexpr std::uint64_t EachByte = 0x0101010101010101ULL;
constexpr std::uint64_t HighBits = 0x8080808080808080ULL;

std::uint64_t wordAt(const char *bytes)
{
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// The last @p n (< 8) bytes of a name as a word, the rest zero.
std::uint64_t tailAt(const char *bytes, std::size_t n)
{
    char tail[8] = {};
    for (std::size_t i = 0; i < n; ++i)
        tail[i] = bytes[i];
    return wordAt(tail);
}

bool isAscii(const char *bytes, std::size_t n)
{
    std::uint64_t any = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        any |= wordAt(bytes + i);
    return ((any | tailAt(bytes + i, n - i)) & HighBits) == 0;
}

// Eight ASCII bytes with their letters in lower case: 0x20 added to each byte from 'A' to 'Z'
// (no byte below 0x80 carries into the next when 0x3F or 0x25 is added).
std::uint64_t lowerAscii(std::uint64_t word)
{
    const std::uint64_t fromA = word + (0x80 - 'A') * EachByte;
    const std::uint64_t beyondZ = word + (0x80 - 'Z' - 1) * EachByte;
    return word | ((fromA & ~beyondZ & HighBits) >> 2);
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

void trim(const char *d, std::uint32_t &b, std::uint32_t &e)
{
    while (b < e && isBlank(d[b]))
        ++b;
    while (e > b && isBlank(d[e - 1]))
        --e;
}

// As the INI layer decodes names and values: UTF-8 when valid, else Windows-1252, and a U+FEFF
// at the start kept (inside a file it is a character, not a byte-order mark).
QString decodeKeepingMark(const char *bytes, qsizetype length)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(QByteArrayView(bytes, length));
    if (!decoder.hasError())
        return text;
    return decodeWindows1252(QByteArray(bytes, length));
}

} // namespace

IniView::Wanted::Wanted(const QString &name) : text(name)
{
    const qsizetype n = name.size();
    if (n > static_cast<qsizetype>(sizeof lowered))
        return; // far longer than any name looked for: compared as text
    char bytes[sizeof lowered] = {};
    const QChar *c = name.constData();
    for (qsizetype i = 0; i < n; ++i) {
        if (c[i].unicode() >= 0x80)
            return;
        bytes[i] = static_cast<char>(foldAscii(c[i].unicode()));
    }
    std::memcpy(lowered, bytes, sizeof lowered);
    size = static_cast<std::uint32_t>(n);
    ascii = true;
}

void IniView::parse(const char *data, std::size_t size)
{
    m_data = data;
    m_lines.clear();
    std::uint32_t start = 0;
    const auto n = static_cast<std::uint32_t>(size);
    if (n >= 3 && data[0] == '\xEF' && data[1] == '\xBB' && data[2] == '\xBF')
        start = 3;
    while (start < n) {
        // A line ends at the first CR or LF; both are found with memchr, which looks at many
        // bytes at a time.
        const char *lf = static_cast<const char *>(std::memchr(data + start, '\n', n - start));
        const std::uint32_t lfAt = lf ? static_cast<std::uint32_t>(lf - data) : n;
        const char *cr = static_cast<const char *>(std::memchr(data + start, '\r', lfAt - start));
        std::uint32_t i = cr ? static_cast<std::uint32_t>(cr - data) : lfAt;
        Line line;
        line.begin = start;
        line.end = i;
        if (i < n)
            i += (data[i] == '\r' && i + 1 < n && data[i + 1] == '\n') ? 2 : 1;
        start = i;

        std::uint32_t b = line.begin;
        std::uint32_t e = line.end;
        trim(data, b, e);
        if (b == e || data[b] == ';' || data[b] == '#')
            continue;
        if (data[b] == '[') {
            // A header needs its closing bracket, and its name runs to the last one; without
            // one the line is plain text and does not end the section it stands in.
            std::uint32_t close = e;
            while (close > b + 1 && data[close - 1] != ']')
                --close;
            if (close <= b + 1)
                continue;
            line.nameBegin = b + 1;
            line.nameEnd = close - 1;
            trim(data, line.nameBegin, line.nameEnd);
            line.kind = Line::Section;
        } else {
            const char *eq = static_cast<const char *>(std::memchr(data + b, '=', e - b));
            if (!eq)
                continue; // neither a section nor a key: nothing to find on it
            line.nameBegin = b;
            line.nameEnd = static_cast<std::uint32_t>(eq - data);
            trim(data, line.nameBegin, line.nameEnd);
            line.kind = Line::Key;
        }
        line.nameAscii = isAscii(data + line.nameBegin, line.nameEnd - line.nameBegin);
        m_lines.push_back(line);
    }
}

bool IniView::sameName(const Line &line, const Wanted &wanted) const
{
    const char *name = m_data + line.nameBegin;
    const std::uint32_t length = line.nameEnd - line.nameBegin;
    if (wanted.ascii && line.nameAscii) {
        // Both in ASCII, as names nearly always are: compared on the bytes, letters folded,
        // as the Windows INI functions compare them.
        if (length != wanted.size)
            return false;
        std::uint32_t i = 0;
        const std::uint64_t *w = wanted.lowered;
        for (; i + 8 <= length; i += 8, ++w) {
            if (lowerAscii(wordAt(name + i)) != *w)
                return false;
        }
        return i == length || lowerAscii(tailAt(name + i, length - i)) == *w;
    }
    // A name with other characters is compared as text, with the case rules of Unicode.
    return decodeKeepingMark(name, length).compare(wanted.text, Qt::CaseInsensitive) == 0;
}

const IniView::Wanted &IniView::wanted(std::vector<Wanted> &recent, std::size_t &last,
                                      const QString &name) const
{
    // The same characters at the same place are the same name: a kept copy holds them, so they
    // cannot change or be freed while kept (literals never change; the program wraps no buffer
    // of its own with QString::fromRawData). The search starts at the name asked for last, and
    // the one kept after it is the next in the reader's order.
    const std::size_t n = recent.size();
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = (last + k) % n;
        if (recent[i].text.constData() == name.constData() &&
            recent[i].text.size() == name.size()) {
            last = i;
            return recent[i];
        }
    }
    constexpr std::size_t Kept = 16;
    if (n < Kept) {
        recent.emplace_back(name);
        last = n;
        return recent.back();
    }
    last = (last + 1) % n;
    recent[last] = Wanted(name);
    return recent[last];
}

long IniView::find(const QString &section, const QString &key) const
{
    const Wanted &wantedSection = wanted(m_sections, m_lastSection, section);
    const Wanted &wantedKey = wanted(m_keys, m_lastKey, key);
    std::size_t i = 0;
    while (i < m_lines.size() &&
           !(m_lines[i].kind == Line::Section && sameName(m_lines[i], wantedSection)))
        ++i;
    for (++i; i < m_lines.size(); ++i) {
        const Line &line = m_lines[i];
        if (line.kind == Line::Section)
            break;
        if (sameName(line, wantedKey))
            return static_cast<long>(i);
    }
    return -1;
}

QString IniView::value(const Line &line) const
{
    std::uint32_t b = line.begin;
    while (m_data[b] != '=')
        ++b;
    ++b;
    std::uint32_t e = line.end;
    trim(m_data, b, e);
    if (e - b >= 2 && (m_data[b] == '"' || m_data[b] == '\'') && m_data[e - 1] == m_data[b]) {
        ++b;
        --e;
    }
    bool ascii = true;
    for (std::uint32_t i = b; i < e && ascii; ++i)
        ascii = static_cast<unsigned char>(m_data[i]) < 0x80;
    // Plain ASCII, as nearly every descriptor is, reads the same in every code page.
    QString text =
        ascii ? QString::fromLatin1(m_data + b, e - b) : decodeKeepingMark(m_data + b, e - b);
    if (text.size() > IniFile::MaxValueLength)
        text.truncate(IniFile::MaxValueLength);
    return text;
}

QString IniView::readString(const QString &section, const QString &key,
                            const QString &defaultValue) const
{
    const long k = find(section, key);
    return k < 0 ? defaultValue : value(m_lines[static_cast<std::size_t>(k)]);
}

int IniView::readInteger(const QString &section, const QString &key, int defaultValue) const
{
    const long k = find(section, key);
    return k < 0 ? defaultValue
                 : parseIniInteger(value(m_lines[static_cast<std::size_t>(k)]), defaultValue);
}

bool IniView::readBool(const QString &section, const QString &key, bool defaultValue) const
{
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

} // namespace platform
