#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace platform {

/// What the player allowed or refused a pack, remembered per pack in a file of the player's own
/// configuration folder (never in the pack, which could answer for the player). One line per
/// answer, fields separated by tabs: the kind, the pack's real folder and, for a folder answer,
/// the folder; paths in the local encoding. Kinds:
/// - "allow" / "deny": a folder outside the pack that the pack reaches (a linked options or
///   themes folder, a history folder);
/// - "network": its scripts may use the network (when the pack asks for it);
/// - "full": its scripts run with all the player's rights, outside the sandbox;
/// - "unconfined": its scripts may run unconfined where the sandbox cannot start.
/// Paths holding a tab or a line break are never stored, so they are asked about again.
class PackPermissions final
{
public:
    enum Answer { Unasked, Allowed, Refused };
    enum class Grant { Network, FullRights, Unconfined };

    struct Entry
    {
        QByteArray kind, pack, folder;
    };

    /// The answers in @p file; by default "pack-permissions" in varimondConfigFolder().
    explicit PackPermissions(QString file = {});

    const QString &file() const { return m_file; }

    Answer folder(const QByteArray &pack, const QByteArray &folder) const;
    /// Remembers @p allowed for every folder of @p folders. Returns false when the file could
    /// not be written (the answer then holds for this object only).
    bool rememberFolders(const QByteArray &pack, const std::vector<QByteArray> &folders,
                         bool allowed);

    bool granted(const QByteArray &pack, Grant grant) const;
    /// Gives or takes back @p grant. Returns false when the file could not be written.
    bool setGranted(const QByteArray &pack, Grant grant, bool on);

    /// Every answer about @p pack, in the file's order.
    std::vector<Entry> entries(const QByteArray &pack) const;
    /// Forgets one answer: the pack is asked again next time. False when it could not be written.
    bool forget(const Entry &entry);

    /// The key a pack folder is remembered by: its real location, in the local encoding.
    static QByteArray packKey(const QString &packDir);

private:
    std::vector<Entry> read() const;
    bool write(const std::vector<Entry> &lines);
    void replace(std::vector<Entry> &lines, const Entry &entry, bool keep);

    QString m_file;
    struct Override
    {
        Entry entry;
        bool present; // false: the answer was taken back
    };
    std::vector<Override> m_session; // this object's answers, also when the file cannot take them
};

/// What the player is asked, once per pack, before the program uses folders of theirs outside
/// the pack that the pack reaches through links (its options or themes folder).
struct FolderQuestion
{
    QString pack;        // the pack's name
    QStringList folders; // each as "<what> <real folder>"

    QString text() const;
};
/// The application registers a dialog; without one the question counts as answered with No
/// (and nothing is remembered).
void setFolderQuestionHandler(std::function<bool(const FolderQuestion &)> handler);
bool askFolderQuestion(const FolderQuestion &question);

} // namespace platform
