#include "history/HistoryConsent.h"

namespace history {

FolderConsent::FolderConsent(QString file, QByteArray packDir)
    : m_store(std::move(file)), m_pack(std::move(packDir))
{
    while (m_pack.size() > 1 && m_pack.endsWith('/'))
        m_pack.chop(1);
}

FolderConsent::Answer FolderConsent::answer(const QByteArray &folder) const
{
    switch (m_store.folder(m_pack, folder)) {
    case platform::PackPermissions::Allowed:
        return Allowed;
    case platform::PackPermissions::Refused:
        return Refused;
    case platform::PackPermissions::Unasked:
        break;
    }
    return Unasked;
}

bool FolderConsent::remember(const std::vector<QByteArray> &folders, bool allowed)
{
    return m_store.rememberFolders(m_pack, folders, allowed);
}

} // namespace history
