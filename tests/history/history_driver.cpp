// A small program that works in a snapshot store the way the program does, for checks that must
// run in a process of their own: kills injected at its system calls, a restore's peak memory,
// a user who cannot read a file.
//
//   history_driver snapshot <repository> <folder>
//   history_driver check <repository> <folder>      (a snapshot, a change, a restore: "ok")
//   history_driver restore <repository> <folder> <snapshot>
//
// Prints its results on standard output; exits 1 with a message on standard error on failure.

#include "history/HistoryFolders.h"
#include "history/SnapshotStore.h"
#include "files/Error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <vector>

#include <dirent.h>
#include <sys/resource.h>

namespace {

std::vector<history::NamedFolder> Folder(const QString &path)
{
    history::NamedFolder folder;
    folder.entry = path;
    folder.key = history::folderKey(path);
    folder.path = QFile::encodeName(path);
    return {folder};
}

// What a run killed inside libgit2 could leave behind and the store must have removed.
QStringList Leftovers(const QString &repo)
{
    QStringList found;
    for (const QString &sub : {QString(), QStringLiteral("/refs/heads"), QStringLiteral("/logs"),
                               QStringLiteral("/logs/refs/heads")}) {
        for (const QString &name : QDir(repo + sub).entryList(QDir::Files | QDir::Hidden)) {
            if (name.endsWith(QLatin1String(".lock")) || name.contains(QLatin1String(".part-")))
                found.append(sub + QLatin1Char('/') + name);
        }
    }
    for (const QString &name : QDir(repo + QStringLiteral("/objects")).entryList(QDir::Files)) {
        if (name.startsWith(QLatin1String("tmp_object")))
            found.append(QStringLiteral("/objects/") + name);
    }
    return found;
}

int Check(const QString &repo, const QString &dir)
{
    history::SnapshotStore store(repo);
    store.open();
    const auto folders = Folder(dir);
    const QString before = store.snapshot(folders, QStringLiteral("check before"));
    const QString probe = dir + QStringLiteral("/varimond-probe.txt");
    QFile file(probe);
    if (!file.open(QIODevice::WriteOnly) || file.write("probe") != 5)
        throw AppError(QStringLiteral("Cannot write %1").arg(probe));
    file.close();
    const QString after = store.snapshot(folders, QStringLiteral("check after"));
    if (store.changes(before, after).size() != 1)
        throw AppError(QStringLiteral("The probe file was not seen by the snapshot"));
    store.restore(after, before, folders);
    if (QFileInfo::exists(probe))
        throw AppError(QStringLiteral("The restore left the probe file"));
    if (store.changes(store.writeTree(folders), before).size() != 0)
        throw AppError(QStringLiteral("The restore did not bring the folder back"));
    const QStringList left = Leftovers(repo);
    if (!left.isEmpty())
        throw AppError(QStringLiteral("Left behind: %1").arg(left.join(QStringLiteral(", "))));
    std::printf("ok\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const QStringList args = [&] {
        QStringList list;
        for (int i = 1; i < argc; ++i)
            list.append(QFile::decodeName(argv[i]));
        return list;
    }();
    try {
        if (args.size() == 3 && args[0] == QLatin1String("snapshot")) {
            history::SnapshotStore store(args[1]);
            store.open();
            const QString id = store.snapshot(Folder(args[2]), QStringLiteral("snapshot"));
            std::printf("%s\n", qPrintable(id));
            for (const QString &path : store.unrecorded())
                std::printf("not recorded: %s\n", qPrintable(path));
            return 0;
        }
        if (args.size() == 3 && args[0] == QLatin1String("check"))
            return Check(args[1], args[2]);
        if (args.size() == 4 && args[0] == QLatin1String("restore")) {
            history::SnapshotStore store(args[1]);
            store.open();
            const auto folders = Folder(args[2]);
            const QString now = store.snapshot(folders, QStringLiteral("before the restore"));
            struct rusage before;
            getrusage(RUSAGE_SELF, &before);
            const auto changes = store.restore(now, args[3], folders);
            struct rusage after;
            getrusage(RUSAGE_SELF, &after);
            std::printf("restored %zu\nmaxrss-before %ld\nmaxrss-after %ld\n", changes.size(),
                        before.ru_maxrss, after.ru_maxrss);
            return 0;
        }
        std::fprintf(stderr, "usage: history_driver snapshot|check <repository> <folder>\n"
                             "       history_driver restore <repository> <folder> <snapshot>\n");
        return 2;
    } catch (const AppError &e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.message()));
        return 1;
    }
}
