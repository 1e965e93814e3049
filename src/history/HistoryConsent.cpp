#include "history/HistoryConsent.h"
#include "platform/OwnFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace history {

namespace {
// The answers of a user for every pack fit easily; a larger file is not ours.
constexpr qint64 MaxFileSize = 1024 * 1024;

bool storable(const QByteArray &path)
{
    return !path.contains('\t') && !path.contains('\n') && !path.contains('\r');
}
} // namespace

FolderConsent::FolderConsent(QString file, QByteArray packDir)
    : m_file(std::move(file)), m_pack(std::move(packDir))
{
    while (m_pack.size() > 1 && m_pack.endsWith('/'))
        m_pack.chop(1);
}

std::vector<FolderConsent::Line> FolderConsent::read() const
{
    std::vector<Line> lines;
    const std::optional<QByteArray> content = platform::readOwnFile(m_file, MaxFileSize);
    if (!content)
        return lines;
    for (const QByteArray &text : content->split('\n')) {
        const QList<QByteArray> parts = text.split('\t');
        if (parts.size() != 3 || (parts[0] != "allow" && parts[0] != "deny"))
            continue;
        lines.push_back({parts[0] == "allow", parts[1], parts[2]});
    }
    return lines;
}

FolderConsent::Answer FolderConsent::answer(const QByteArray &folder) const
{
    Answer found = Unasked;
    auto take = [&](const std::vector<Line> &lines) {
        for (const Line &line : lines) {
            if (line.pack == m_pack && line.folder == folder)
                found = line.allowed ? Allowed : Refused; // the latest answer counts
        }
    };
    take(read());
    take(m_session);
    return found;
}

bool FolderConsent::remember(const std::vector<QByteArray> &folders, bool allowed)
{
    std::vector<Line> lines = read();
    for (const QByteArray &folder : folders) {
        lines.erase(
            std::remove_if(lines.begin(), lines.end(),
                           [&](const Line &l) { return l.pack == m_pack && l.folder == folder; }),
            lines.end());
        lines.push_back({allowed, m_pack, folder});
        m_session.push_back({allowed, m_pack, folder});
    }
    if (!storable(m_pack) || !std::all_of(folders.begin(), folders.end(), storable) ||
        !QDir().mkpath(QFileInfo(m_file).absolutePath()))
        return false;
    QByteArray content;
    for (const Line &line : lines) {
        if (storable(line.pack) && storable(line.folder))
            content += (line.allowed ? "allow\t" : "deny\t") + line.pack + '\t' + line.folder + '\n';
    }
    return platform::writeOwnFile(m_file, content);
}

} // namespace history
