#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <string_view>
#include <unordered_set>
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
/// A section header is a line whose first non-blank character is '[' and which holds a ']'; the
/// name runs to the last ']' of the line. A line that opens a bracket and never closes it is an
/// ordinary line (neither header nor key). Files in UTF-8 (with or without a byte-order mark),
/// Windows-1252 and UTF-16 with a byte-order mark are read; a UTF-16 file is written back in
/// UTF-16. Only a mark at the very start of the file is a byte-order mark: a U+FEFF that begins
/// a later key or value belongs to it.
///
/// The file is parsed once when the object is made, in time and memory linear in its size. Each
/// write is committed to disk at once and crash-safely (a temporary file
/// ".name.varimond-tmp-XXXXXX" in the same folder, renamed over the old one, permissions kept;
/// such temporaries that a killed program left behind are removed by a later write in that
/// folder once they are a minute old), so a killed program never leaves a half-written file. A
/// symbolic link is written through to the file it names; a dangling link or a link loop is
/// refused and left as it is, and so is a file outside the folder given to confineWritesTo().
/// A write that may not happen throws AppError ("Unable to write to %s") and leaves the old file
/// as it was.
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
    /// Files larger than this are treated as unreadable: the program's own INI files (settings,
    /// descriptors, themes of tens of thousands of options) stay far below it, and refusing a
    /// huge foreign file bounds the time and memory one open may take.
    static constexpr qint64 MaxFileSize = 16 * 1024 * 1024;

    /// What the object is opened for. A file opened for Update is opened read-write at once, so
    /// that the one open both reads it and tells whether it may be written; reading and writing
    /// behave the same either way. Own: one of the program's own files (platform/OwnFile.h):
    /// read only when it is a regular file with one link, never through a link, and replaced
    /// through writeOwnFile().
    enum class Intent : quint8 { Read, Update, Own };

    explicit IniFile(QString path);
    IniFile(QString path, Intent intent);
    /// The same for a file whose folder the caller holds open as @p folder: the file is opened
    /// as @p name in it (a name relative to that folder), which spares walking the whole path
    /// again. @p path is the file's full path, used for everything else. Not for Intent::Own.
    IniFile(QString path, Intent intent, int folder, const QByteArray &name);

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
    /// The number of section headers in the file, a repeated section once per occurrence: the
    /// count the platform's section list gives, which callers that address sections by index
    /// (themes) rely on.
    int sectionCount() const;

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

    /// Whether a write would be accepted now: the file was read whole (or is missing), leaves
    /// room below MaxFileSize, and it (or, when missing, its folder) may be written.
    bool mayWrite() const;

    /// Between beginUpdate() and flush(): whether the writes so far would change the file.
    bool hasPendingChanges() const { return m_deferred && (!m_exists || m_text != m_onDisk); }
    /// Between beginUpdate() and flush(): the file's bytes as they are on disk (empty for a
    /// file that does not exist), for putting them back after a run of writes went wrong.
    QByteArray bytesOnDisk() const;
    /// Whether the path named a symbolic link when the file was opened for an update.
    bool isLink() const { return m_viaLink; }
    /// The size of the text held in memory.
    qsizetype size() const { return m_text.size(); }

    /// Replaces the whole file with @p content, crash-safely and keeping its permissions, as a
    /// write does (for putting back bytes saved before a run of writes). Throws AppError when
    /// refused. Only the disk changes: the object is done with afterwards.
    void replaceWith(const QByteArray &content);

    /// Refuses every later write whose file, links followed, does not lie inside @p realRoot (a
    /// real location, platform::realLocation()): a file of a pack that is a link out of the pack
    /// is never written through.
    void confineWritesTo(const QString &realRoot) { m_writeRoot = realRoot; }

    /// For a write whose caller has placed the file's folder already, once for a whole run of
    /// writes: the folder is @p folderFromRoot (a relative path) below the root given to
    /// confineWritesTo(), which the caller holds open as @p root, with no symbolic link on the
    /// way. The write then opens the folder from @p root following no link, instead of
    /// resolving its real location again, so that no folder on the way can have been swapped for
    /// a link or moved out since; it lists the folder once (for leftover temporaries), and is
    /// refused when what stands at the file's name is no longer the file that was read:
    /// replaced, changed since, or swapped for a link. Only for a file opened for Update that
    /// was no link; @p root must stay open until the writes are done.
    void writeInPlacedFolder(int root, QByteArray folderFromRoot)
    {
        m_placedRoot = root;
        m_placedFolder = std::move(folderFromRoot);
    }

    /// What a quick look at a file found (holdsInteger()).
    enum class Look : quint8 {
        Holds,    // reached, may be written, and already reads the value
        Reached,  // reached with no link on the way, but not (certainly) holding the value
        Unreached // not opened: missing, a link on the way, not writable, no access
    };
    /// A quick look for a run that rewrites thousands of files of which few change: whether the
    /// file @p name below the folder held open as @p folder (no symbolic link on the way or at
    /// its end) may be written and already reads @p value as its value of @p key in @p section,
    /// found as writeInteger() finds it, so that writing it would leave it byte for byte as it
    /// is. Holds only when that is certain; otherwise the caller opens the file as usual (and
    /// gets its error from there). The file is read without being opened for writing: the
    /// caller makes sure the folder's file system may be written.
    static Look holdsInteger(int folder, const char *name, const QString &section,
                             const QString &key, int value);

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
    enum class Encoding : quint8 { Utf8, Utf8Bom, Utf16LE, Utf16BE };

    // Writes @p valueBytes, UTF-8 without line breaks, as the value of @p key.
    void writeValue(const QString &section, const QString &key, QByteArrayView valueBytes);

    // A section header or key line of m_text: [begin, end) without its line ending. Other
    // lines (blank, comments, text) are not indexed; they are only ever copied.
    struct Entry
    {
        quint32 begin;
        quint32 end;
    };

    void load(Intent intent, int folder = -1, const QByteArray &name = QByteArray());
    // Whether @p text, as writeValue() reads it, holds @p value for @p key of @p section.
    static bool textHolds(QByteArrayView text, const QString &section, const QString &key,
                          QByteArrayView value);
    void parse();
    bool isSection(const Entry &entry) const;
    QByteArrayView entryName(const Entry &entry) const;
    QByteArrayView entryValue(const Entry &entry) const;
    int findSection(const QString &section) const;
    int findSectionInPlace(const QString &section) const;
    int findKey(int sectionEntry, const QString &key) const;
    int findValue(const QString &section, const QString &key) const;
    void splice(qsizetype at, qsizetype removed, const QByteArray &inserted, size_t firstShifted);
    QByteArray newLineEnding() const;
    QByteArray serialise() const { return serialise(m_text); }
    QByteArray serialise(const QByteArray &text) const;
    bool mayWriteUnchanged() const;
    void store(const QByteArray &before);
    void commit(const QByteArray &content);

    QString m_path;
    Intent m_intent = Intent::Read;
    bool m_exists = false;
    bool m_deferred = false;         // between beginUpdate() and flush()
    bool m_unreadable = false;       // present but not readable as a whole: never replaced
    bool m_writeRefused = false;     // read, but cannot be written back as it is (broken UTF-16)
    bool m_openedForWriting = false; // the read-write open succeeded
    bool m_linkKnown = false;        // whether m_viaLink was learnt when the file was opened
    bool m_viaLink = false;          // the path names a symbolic link
    bool m_modeKnown = false;        // m_mode, m_uid and m_gid come from the open file
    Encoding m_encoding = Encoding::Utf8;
    quint32 m_mode = 0; // permission bits, owner and group of the file as it was read
    quint32 m_uid = 0;
    quint32 m_gid = 0;
    // Which file was read, and as it was then: a write into a placed folder checks it is still
    // the one at the name.
    quint64 m_device = 0;
    quint64 m_inode = 0;
    qint64 m_readSize = -1;
    qint64 m_readTime = 0; // modification time in nanoseconds
    // The folder as placed by the caller (writeInPlacedFolder()): the root held open, and the
    // folder's path below it.
    int m_placedRoot = -1;
    QByteArray m_placedFolder;
    QByteArray m_text;   // the content in UTF-8 (Windows-1252 bytes kept), without byte-order mark
    QByteArray m_onDisk; // m_text as last read or written, while deferred
    std::vector<Entry> m_entries;
    QString m_writeRoot; // when set, writes land only inside this real folder
    // Section names (case-folded) to the entry of their first header, filled as far as the
    // look-ups in a large file have read, so that reading many sections stays linear; forgotten
    // on every change.
    mutable QHash<QString, int> m_sectionIndex;
    mutable std::unordered_set<std::string_view> m_spellings; // header spellings indexed so far
    mutable size_t m_indexScanned = 0;                        // entries looked at so far
    mutable bool m_sectionIndexBuilt = false;
};

/// Removes, from the folder open as @p folder, the temporaries of interrupted INI writes (any
/// file's) that are regular files at least a minute old: younger ones may belong to a write
/// that is still going on in another instance.
void removeStaleWriteTemporaries(int folder);
/// The same for the folder at @p path.
void removeStaleWriteTemporaries(const QString &path);

/// Copies the regular file @p name of the folder open as @p from into the folder open as @p to,
/// under the same name: the source is opened without following a link and must be a regular
/// file of at most @p maxSize bytes; the copy is a new file of mode 0644 (less the umask),
/// written whole to a temporary and renamed into place, so it never writes through a link or
/// into another file that stands at the destination. Returns false, leaving the destination as
/// it was, when any step fails.
bool copyRegularFile(int from, const QString &name, int to, qint64 maxSize);

} // namespace platform
