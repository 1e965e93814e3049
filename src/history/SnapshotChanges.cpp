// What changed between two snapshots: the files, and the options whose selection changed.

#include "history/SnapshotStore.h"

#include "history/SnapshotGit.h"
#include "files/Error.h"
#include "ini/IniView.h"
#include "files/OwnFile.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <git2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <strings.h>
#include <time.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace history {

using namespace detail;

namespace {

// Every file below a stored folder (or the one file), as changes of @p kind.
void listFiles(git_repository *repo, const git_tree_entry *entry, const QString &path,
               FileChange::Kind kind, std::vector<FileChange> &out)
{
    if (!isTree(entry)) {
        out.push_back({kind, path});
        return;
    }
    TreePtr tree = subtree(repo, entry);
    for (size_t i = 0; i < git_tree_entrycount(tree.get()); ++i) {
        const git_tree_entry *child = git_tree_entry_byindex(tree.get(), i);
        listFiles(repo, child,
                  path + QLatin1Char('/') + QString::fromUtf8(git_tree_entry_name(child)), kind,
                  out);
    }
}

void diffTrees(git_repository *repo, const git_tree *a, const git_tree *b, const QString &prefix,
               std::vector<FileChange> &out)
{
    for (const std::string &name : unionOfNames(a, b)) {
        const git_tree_entry *ea = entryOf(a, name);
        const git_tree_entry *eb = entryOf(b, name);
        if (sameEntry(ea, eb))
            continue;
        const QString path = prefix + QString::fromUtf8(name.c_str());
        if (isTree(ea) && isTree(eb)) {
            TreePtr ta = subtree(repo, ea);
            TreePtr tb = subtree(repo, eb);
            diffTrees(repo, ta.get(), tb.get(), path + QLatin1Char('/'), out);
        } else if (ea && eb && !isTree(ea) && !isTree(eb)) {
            out.push_back({FileChange::Changed, path});
        } else {
            if (ea)
                listFiles(repo, ea, path, FileChange::Removed, out);
            if (eb)
                listFiles(repo, eb, path, FileChange::Added, out);
        }
    }
}

} // namespace

bool SnapshotStore::hasSnapshot(const QString &id) const
{
    if (!m_repo || id.size() != GIT_OID_HEXSZ)
        return false;
    try {
        const Locked lock(*this);
        rootTree(m_repo, id);
        return true;
    } catch (const AppError &) {
        return false;
    }
}

std::vector<FileChange> SnapshotStore::changes(const QString &from, const QString &to,
                                               const QStringList &keys) const
{
    const Locked lock(*this);
    if (!m_repo)
        throw AppError(QStringLiteral("The history is not open"));
    TreePtr a = rootTree(m_repo, from);
    TreePtr b = rootTree(m_repo, to);
    std::vector<FileChange> out;
    for (const std::string &name : unionOfNames(a.get(), b.get())) {
        const QString key = QString::fromUtf8(name.c_str());
        if ((!keys.isEmpty() && !keys.contains(key)) || name == SelectionKey)
            continue; // the selection is told apart, by selectionChanges()
        const git_tree_entry *ea = entryOf(a.get(), name);
        const git_tree_entry *eb = entryOf(b.get(), name);
        if (sameEntry(ea, eb))
            continue;
        TreePtr ta = subtree(m_repo, ea);
        TreePtr tb = subtree(m_repo, eb);
        diffTrees(m_repo, ta.get(), tb.get(),
                  entryFromKey(key).replace(QLatin1Char('\\'), QLatin1Char('/')) + QLatin1Char('/'),
                  out);
    }
    return out;
}

namespace {

// Every option folder of a selection tree that holds an options.ini, and whether its mode is a
// selected one.
void collectSelection(git_repository *repo, const git_tree *tree, const QString &prefix,
                      std::map<QString, bool> &out, platform::IniView &view)
{
    for (size_t i = 0; i < git_tree_entrycount(tree); ++i) {
        const git_tree_entry *entry = git_tree_entry_byindex(tree, i);
        const QString name = QString::fromUtf8(git_tree_entry_name(entry));
        if (isTree(entry)) {
            TreePtr sub = subtree(repo, entry);
            collectSelection(repo, sub.get(), prefix + name + QLatin1Char('/'), out, view);
        } else if (name.compare(QLatin1String("options.ini"), Qt::CaseInsensitive) == 0 &&
                   !prefix.isEmpty()) {
            git_blob *raw = nullptr;
            check(git_blob_lookup(&raw, repo, git_tree_entry_id(entry)),
                  QStringLiteral("Cannot read the stored %1").arg(prefix + name));
            BlobPtr blob(raw);
            view.parse(static_cast<const char *>(git_blob_rawcontent(raw)),
                       size_t(git_blob_rawsize(raw)));
            const int mode =
                view.readInteger(QStringLiteral("Mode"), QStringLiteral("OptionMode"), 0);
            out[prefix.chopped(1)] = mode == 3 || mode == 5;
        }
    }
}

} // namespace

std::vector<SnapshotStore::SelectionChange> SnapshotStore::selectionChanges(const QString &from,
                                                                            const QString &to) const
{
    const Locked lock(*this);
    if (!m_repo)
        throw AppError(QStringLiteral("The history is not open"));
    TreePtr a = rootTree(m_repo, from);
    TreePtr b = rootTree(m_repo, to);
    TreePtr sa = subtree(m_repo, git_tree_entry_byname(a.get(), SelectionKey));
    TreePtr sb = subtree(m_repo, git_tree_entry_byname(b.get(), SelectionKey));
    if (!sa || !sb)
        return {};
    std::map<QString, bool> before, after;
    platform::IniView view;
    collectSelection(m_repo, sa.get(), QString(), before, view);
    collectSelection(m_repo, sb.get(), QString(), after, view);
    std::vector<SelectionChange> out;
    for (const auto &[option, selected] : before) {
        const auto it = after.find(option);
        const bool now = it != after.end() && it->second;
        if (now != selected)
            out.push_back({option, selected, now});
    }
    for (const auto &[option, selected] : after) {
        if (selected && before.find(option) == before.end())
            out.push_back({option, false, true});
    }
    std::sort(out.begin(), out.end(), [](const SelectionChange &x, const SelectionChange &y) {
        return x.option < y.option;
    });
    return out;
}

} // namespace history
