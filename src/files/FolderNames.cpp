#include "files/FolderNames.h"

#include <QFile>

#include <cstring>

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
                m_names.append(n).push_back('\0');
            }
            ::closedir(dir);
        }
    }
    QString best;
    for (std::size_t at = 0; at < m_names.size();) {
        const char *entry = m_names.data() + at;
        const std::size_t length = std::strlen(entry);
        at += length + 1;
        bool ascii = true;
        for (std::size_t i = 0; i < length && ascii; ++i)
            ascii = static_cast<unsigned char>(entry[i]) < 0x80;
        QString shown;
        if (ascii) {
            // Plain ASCII is compared in place; it can only match a name of its own length.
            const QLatin1StringView latin(entry, static_cast<qsizetype>(length));
            if (static_cast<qsizetype>(length) != name.size() ||
                name.compare(latin, Qt::CaseInsensitive) != 0)
                continue;
            shown = latin;
        } else {
            shown = QFile::decodeName(entry);
            if (shown.compare(name, Qt::CaseInsensitive) != 0)
                continue;
        }
        if (best.isNull() || shown < best)
            best = shown;
    }
    return best;
}

} // namespace platform
