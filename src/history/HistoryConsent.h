#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace history {

/// The user's answers about history folders that lie outside a pack, remembered per pack in a
/// file of the user's own configuration folder (never in the pack, which could answer for the
/// user). One line per answer: "allow" or "deny", the pack's folder and the history folder,
/// separated by tabs, paths in the local encoding. Paths holding a tab or a line break are not
/// remembered, so they are asked about again.
class FolderConsent final
{
public:
    enum Answer { Unasked, Allowed, Refused };

    /// @p file is the answers file; @p packDir the pack's folder as the history resolves it.
    FolderConsent(QString file, QByteArray packDir);

    Answer answer(const QByteArray &folder) const;
    /// Remembers @p allowed for every folder of @p folders. Returns false when the file could
    /// not be written (the answer then holds for this run only).
    bool remember(const std::vector<QByteArray> &folders, bool allowed);

private:
    struct Line
    {
        bool allowed;
        QByteArray pack, folder;
    };
    std::vector<Line> read() const;

    QString m_file;
    QByteArray m_pack;
    std::vector<Line> m_session; // answers of this run that the file could not take
};

} // namespace history
