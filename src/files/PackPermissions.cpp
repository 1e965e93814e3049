#include "files/PackPermissions.h"

#include "files/OwnFile.h"
#include "files/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace platform {

namespace {
// The answers of a player for every pack fit easily; a larger file is not ours.
constexpr qint64 MaxFileSize = 1024 * 1024;

bool storable(const QByteArray &text)
{
    return !text.contains('\t') && !text.contains('\n') && !text.contains('\r');
}

QByteArray grantKind(PackPermissions::Grant grant)
{
    switch (grant) {
    case PackPermissions::Grant::Network:
        return "network";
    case PackPermissions::Grant::FullRights:
        return "full";
    case PackPermissions::Grant::Unconfined:
        break;
    }
    return "unconfined";
}

bool sameAnswer(const PackPermissions::Entry &a, const PackPermissions::Entry &b)
{
    const bool folderKind = a.kind == "allow" || a.kind == "deny";
    const bool otherFolderKind = b.kind == "allow" || b.kind == "deny";
    if (folderKind != otherFolderKind || a.pack != b.pack || a.folder != b.folder)
        return false;
    return folderKind || a.kind == b.kind;
}
} // namespace

PackPermissions::PackPermissions(QString file) : m_file(std::move(file))
{
    if (m_file.isEmpty())
        m_file = varimondConfigFolder() + QStringLiteral("/pack-permissions");
}

QByteArray PackPermissions::packKey(const QString &packDir)
{
    QString pack = QFileInfo(packDir).canonicalFilePath();
    if (pack.isEmpty())
        pack = QDir::cleanPath(packDir);
    return QFile::encodeName(pack);
}

std::vector<PackPermissions::Entry> PackPermissions::read() const
{
    std::vector<Entry> lines;
    if (const std::optional<QByteArray> content = readOwnFile(m_file, MaxFileSize)) {
        for (const QByteArray &text : content->split('\n')) {
            const QList<QByteArray> parts = text.split('\t');
            if (parts.size() == 3 && !parts[0].isEmpty())
                lines.push_back({parts[0], parts[1], parts[2]});
        }
    }
    // This object's own answers that the file could not take still count.
    for (const Override &answer : m_session) {
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [&](const Entry &e) { return sameAnswer(e, answer.entry); }),
                    lines.end());
        if (answer.present)
            lines.push_back(answer.entry);
    }
    return lines;
}

bool PackPermissions::write(const std::vector<Entry> &lines)
{
    if (!QDir().mkpath(QFileInfo(m_file).absolutePath()))
        return false;
    QByteArray content;
    for (const Entry &line : lines) {
        if (storable(line.pack) && storable(line.folder))
            content += line.kind + '\t' + line.pack + '\t' + line.folder + '\n';
    }
    return writeOwnFile(m_file, content);
}

// Puts @p entry in place of any earlier answer to the same question, or takes that answer
// away when @p keep is false; this object keeps the change even if the file cannot.
void PackPermissions::replace(std::vector<Entry> &lines, const Entry &entry, bool keep)
{
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [&](const Entry &e) { return sameAnswer(e, entry); }),
                lines.end());
    if (keep)
        lines.push_back(entry);
    m_session.erase(std::remove_if(m_session.begin(), m_session.end(),
                                   [&](const Override &o) { return sameAnswer(o.entry, entry); }),
                    m_session.end());
    m_session.push_back({entry, keep});
}

PackPermissions::Answer PackPermissions::folder(const QByteArray &pack,
                                                const QByteArray &folder) const
{
    Answer found = Unasked;
    for (const Entry &line : read()) {
        if (line.pack == pack && line.folder == folder) {
            if (line.kind == "allow")
                found = Allowed;
            else if (line.kind == "deny")
                found = Refused;
        }
    }
    return found;
}

bool PackPermissions::rememberFolders(const QByteArray &pack,
                                      const std::vector<QByteArray> &folders, bool allowed)
{
    std::vector<Entry> lines = read();
    bool storableAll = storable(pack);
    for (const QByteArray &folder : folders) {
        replace(lines, {allowed ? "allow" : "deny", pack, folder}, true);
        storableAll = storableAll && storable(folder);
    }
    return write(lines) && storableAll;
}

bool PackPermissions::granted(const QByteArray &pack, Grant grant) const
{
    const QByteArray kind = grantKind(grant);
    const std::vector<Entry> lines = read();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const Entry &e) { return e.kind == kind && e.pack == pack; });
}

bool PackPermissions::setGranted(const QByteArray &pack, Grant grant, bool on)
{
    std::vector<Entry> lines = read();
    const Entry entry{grantKind(grant), pack, QByteArray()};
    replace(lines, entry, on);
    return write(lines) && storable(pack);
}

std::vector<PackPermissions::Entry> PackPermissions::entries(const QByteArray &pack) const
{
    std::vector<Entry> found;
    for (const Entry &line : read()) {
        if (line.pack == pack)
            found.push_back(line);
    }
    return found;
}

bool PackPermissions::forget(const Entry &entry)
{
    std::vector<Entry> lines = read();
    replace(lines, entry, false);
    return write(lines);
}

namespace {
std::function<bool(const FolderQuestion &)> &folderHandler()
{
    static std::function<bool(const FolderQuestion &)> handler;
    return handler;
}
} // namespace

QString FolderQuestion::text() const
{
    return QStringLiteral("%1 reaches folders outside itself through symbolic links:\n\n%2\n\n"
                          "Use them? Varimond will read and change the options' files there, "
                          "and the pack's scripts may write there. You can take this back in "
                          "File > Pack Permissions.")
        .arg(pack, folders.join(QLatin1Char('\n')));
}

void setFolderQuestionHandler(std::function<bool(const FolderQuestion &)> handler)
{
    folderHandler() = std::move(handler);
}

bool askFolderQuestion(const FolderQuestion &question)
{
    const auto &handler = folderHandler();
    return handler && handler(question);
}

} // namespace platform
