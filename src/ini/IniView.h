#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

/// Reads INI content that is already in memory, by the same rules as IniFile's reads (names
/// without regard to case, the first matching section and key win, blanks and one pair of
/// quotes taken off values, values cut at 2047 characters, a UTF-8 byte-order mark skipped),
/// without copying a line: the view keeps positions into the caller's buffer, which must
/// outlive it. One view serves many files in turn; its line table keeps its capacity.
class IniView final
{
public:
    IniView() = default;

    /// Takes @p size bytes at @p data as the content to read.
    void parse(const char *data, std::size_t size);

    QString readString(const QString &section, const QString &key,
                       const QString &defaultValue) const;
    int readInteger(const QString &section, const QString &key, int defaultValue) const;
    bool readBool(const QString &section, const QString &key, bool defaultValue) const;

private:
    struct Line
    {
        enum Kind : std::uint8_t { Other, Section, Key };

        std::uint32_t begin = 0; // of the line's text, without its ending
        std::uint32_t end = 0;
        std::uint32_t nameBegin = 0;
        std::uint32_t nameEnd = 0;
        Kind kind = Other;
        bool nameAscii = true; // the name holds only ASCII characters
    };

    // A name looked for. One of up to 64 ASCII characters (any name the program looks for) is
    // also kept as bytes with letters in lower case, eight to a word, the rest zero, and
    // compared with names on the bytes.
    struct Wanted
    {
        explicit Wanted(const QString &name);
        QString text; // a copy, which keeps its characters where they are
        bool ascii = false;
        std::uint32_t size = 0;
        std::uint64_t lowered[8] = {};
    };

    // The line index of @p key's value in @p section, or -1.
    long find(const QString &section, const QString &key) const;
    bool sameName(const Line &line, const Wanted &wanted) const;
    // @p name in the form compared; section names and keys each keep the ones asked for lately.
    const Wanted &wanted(std::vector<Wanted> &recent, std::size_t &last, const QString &name) const;
    QString value(const Line &line) const;

    const char *m_data = nullptr;
    std::vector<Line> m_lines;
    // The reader of many files asks for the same names in the same order in each: the names
    // asked for lately, and which was asked for last. A view serves one thread at a time.
    mutable std::vector<Wanted> m_sections, m_keys;
    mutable std::size_t m_lastSection = 0, m_lastKey = 0;
};

} // namespace platform
