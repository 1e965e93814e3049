#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace platform {

/// Converts text by the program-wide INI integer rule: leading blanks, an optional sign, then
/// decimal digits, or hexadecimal digits after "$", "x", "X", "0x" or "0X". Hexadecimal values
/// are 32-bit patterns (80000000 and above are negative). Anything that does not convert in full
/// (empty, other characters, out of range) yields @p defaultValue.
int parseIniInteger(const QString &text, int defaultValue);

/// One INI file in the private-profile manner: names match without regard to case, the first
/// matching section and key win, string values lose surrounding blanks and one pair of enclosing
/// quotes and are cut at 2047 characters, and every write replaces a value in place while
/// keeping every other line of the file byte for byte.
///
/// The file is parsed once when the object is made. Each write is committed to disk at once and
/// crash-safely (a temporary file in the same folder, renamed over the old one, permissions
/// kept), so a killed program never leaves a half-written file. A write that may not happen
/// throws AppError ("Unable to write to %s") and leaves the old file as it was.
///
/// @code
/// platform::IniFile ini(folder + QStringLiteral("options.ini"));
/// int mode = ini.readInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 1);
/// ini.writeInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 3);
/// @endcode
class IniFile final
{
public:
    static constexpr int MaxValueLength = 2047;
    /// Files larger than this are treated as unreadable: no INI file of this program comes near
    /// it, and reading a huge foreign file whole would only waste memory.
    static constexpr qint64 MaxFileSize = 64 * 1024 * 1024;

    explicit IniFile(QString path);

    const QString &path() const { return m_path; }
    bool exists() const { return m_exists; }
    /// False when something exists at the path but could not be read as a file (a folder, a
    /// special file, a file over MaxFileSize or one that may not be read).
    bool readable() const { return !m_unreadable; }

    QString readString(const QString &section, const QString &key,
                       const QString &defaultValue) const;
    int readInteger(const QString &section, const QString &key, int defaultValue) const;
    bool readBool(const QString &section, const QString &key, bool defaultValue) const;
    bool hasKey(const QString &section, const QString &key) const;
    /// Section names in file order, each once (first spelling kept).
    QStringList sections() const;

    /// Line breaks in @p value would start new lines of the file (and could add keys); each
    /// becomes a blank.
    void writeString(const QString &section, const QString &key, const QString &value);
    void writeInteger(const QString &section, const QString &key, int value);
    void writeBool(const QString &section, const QString &key, bool value);

    /// Forgets every line, so that the writes that follow make up the whole new content: with
    /// beginUpdate() and flush() the file is rewritten from scratch in one replacement. Only the
    /// memory is touched until the next write commits.
    void clear();

    /// Collects the writes that follow in memory until flush(), so that a run of writes
    /// replaces the file once: the file then holds either all of them or none.
    void beginUpdate();
    /// Writes what was collected since beginUpdate(). Throws AppError as a single write would,
    /// and leaves the file as it was then.
    void flush();

    /// One-shot helpers for a single key; each opens the file anew.
    static QString readString(const QString &path, const QString &section, const QString &key,
                              const QString &defaultValue);
    static int readInteger(const QString &path, const QString &section, const QString &key,
                           int defaultValue);
    static void writeString(const QString &path, const QString &section, const QString &key,
                            const QString &value);
    static void writeInteger(const QString &path, const QString &section, const QString &key,
                             int value);

private:
    struct Line
    {
        enum Kind : quint8 { Other, Section, Key };

        QByteArray text; // without its line ending
        QByteArray ending; // "\r\n", "\n", "\r" or empty for a last line without one
        // What the line is, and where its section or key name lies in text; kept by classify()
        // whenever text changes, so look-ups never parse a line again.
        Kind kind = Other;
        qsizetype nameBegin = 0;
        qsizetype nameLength = 0;
    };
    static void classify(Line &line);

    int findSection(const QString &section) const;
    int findKey(int sectionLine, const QString &key) const;
    int findValue(const QString &section, const QString &key) const;
    void commit(const QByteArray &content);
    void store(const QByteArray &before);
    QByteArray serialise() const;
    QByteArray newLineEnding() const;

    QString m_path;
    bool m_exists = false;
    bool m_deferred = false; // between beginUpdate() and flush()
    QByteArray m_onDisk; // the content as last read or written, while deferred
    bool m_unreadable = false; // present but not readable as a whole
    bool m_bom = false;
    std::vector<Line> m_lines;
};

} // namespace platform
