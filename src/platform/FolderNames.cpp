#include "platform/FolderNames.h"

#include <QFile>

#include <dirent.h>

namespace platform {

QString FolderNames::find(const QString &name)
{
    if (!m_listed) {
        m_listed = true;
        if (DIR *dir = ::opendir(QFile::encodeName(m_folder).constData())) {
            while (const dirent *entry = ::readdir(dir)) {
                const char *n = entry->d_name;
                if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
                    continue;
                m_names.append(QFile::decodeName(n));
            }
            ::closedir(dir);
        }
    }
    QString best;
    for (const QString &entry : m_names) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0 && (best.isNull() || entry < best))
            best = entry;
    }
    return best;
}

} // namespace platform
