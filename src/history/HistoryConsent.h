#pragma once

#include "files/PackPermissions.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace history {

/// The player's answers about history folders that lie outside a pack: the folder answers of
/// the pack's permissions (platform::PackPermissions), the one place where everything a pack
/// may reach outside itself is remembered.
class FolderConsent final
{
public:
    enum Answer { Unasked, Allowed, Refused };

    /// @p file is the permissions file; @p packDir the pack's folder as the history resolves it.
    FolderConsent(QString file, QByteArray packDir);

    Answer answer(const QByteArray &folder) const;
    /// Remembers @p allowed for every folder of @p folders. Returns false when the file could
    /// not be written (the answer then holds for this run only).
    bool remember(const std::vector<QByteArray> &folders, bool allowed);

private:
    platform::PackPermissions m_store;
    QByteArray m_pack;
};

} // namespace history
