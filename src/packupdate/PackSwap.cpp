#include "packupdate/PackSwap.h"

#include "packupdate/PackageInfo.h"
#include "files/Error.h"
#include "files/OwnFile.h"
#include "files/PackState.h"
#include "files/TreeCopy.h"
#include "files/Paths.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace packupdate {

namespace {

const QByteArray kJournal = "journal";
const QByteArray kMagic = "varimond-swap 1";
// The update folder's record of the swap folder a plan made inside the pack.
const QByteArray kSwapRecord = "swap-folder";
const QByteArray kSwapPrefix = ".varimond-swap-";

bool exists(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

QByteArrayList topLevelNames(const QByteArray &folder, const QByteArray &programName)
{
    QByteArrayList names;
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        throw AppError(QStringLiteral("Cannot read the folder %1").arg(QFile::decodeName(folder)));
    while (const dirent *e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (name == "." || name == ".." || IsKeptName(name, programName))
            continue;
        names.append(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool singleName(const QByteArray &name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') &&
           !name.contains('\0');
}

bool isRealFolder(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Whether @p name, as the update folder recorded it, is a swap folder of the pack's top level:
// a real folder (no link) with the name the program gives them. Its modes and owner are not
// asked for: a pack's drive may have none of its own (FAT, NTFS), and the name is mkdtemp's,
// made anew for the swap, so no folder a pack shipped can be it.
bool isSwapFolder(const QByteArray &packDir, const QByteArray &name)
{
    return singleName(name) && name.startsWith(kSwapPrefix) && isRealFolder(packDir + name);
}

QByteArray updateFolderOf(const SwapPlan &plan)
{
    return QFile::encodeName(UpdateFolder(QFile::decodeName(plan.packDir)));
}

// The folder the plan's staging and previous folders are relative to.
QByteArray baseFolder(const SwapPlan &plan)
{
    return plan.swapFolder.isEmpty() ? updateFolderOf(plan) : plan.packDir + plan.swapFolder + '/';
}

// A journal line holds one name, hex-encoded, so that any byte of a file name survives.
// The update folder's identity: a journal that came with a copied or unpacked pack names
// another folder and is not acted on.
QByteArray folderIdentity(const QByteArray &folder)
{
    struct stat st;
    if (::lstat(folder.constData(), &st) != 0)
        return {};
    return QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

QByteArray journalText(const SwapPlan &plan, bool committed)
{
    QByteArray text = kMagic + '\n';
    text += "folder " +
            folderIdentity(QFile::encodeName(UpdateFolder(QFile::decodeName(plan.packDir)))) + '\n';
    text += QByteArray(committed ? "state committed\n" : "state moving\n");
    text += "staging " + plan.staging.toHex() + '\n';
    text += "previous " + plan.previous.toHex() + '\n';
    if (!plan.swapFolder.isEmpty())
        text += "swap " + plan.swapFolder.toHex() + '\n';
    for (const QByteArray &name : plan.outgoing)
        text += "out " + name.toHex() + '\n';
    for (const QByteArray &name : plan.incoming)
        text += "in " + name.toHex() + '\n';
    text += "end\n";
    return text;
}

void syncFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Replaces the file @p name of the update folder in one rename, synced, so that it is always
// either whole or absent.
void writeFile(const QByteArray &updateFolder, const QByteArray &name, const QByteArray &text)
{
    if (!platform::writeOwnFile(QFile::decodeName(updateFolder + name), text, true))
        throw AppError(
            QStringLiteral("Unable to write to %1").arg(QFile::decodeName(updateFolder + name)));
}

void writeJournal(const QByteArray &updateFolder, const QByteArray &text)
{
    writeFile(updateFolder, kJournal, text);
}

bool readJournal(const QByteArray &updateFolder, SwapPlan &plan, bool &committed)
{
    const std::optional<QByteArray> text =
        platform::readOwnFile(QFile::decodeName(updateFolder + kJournal), 64 * 1024 * 1024);
    if (!text)
        return false;
    const QByteArrayList lines = text->split('\n');
    if (lines.size() < 5 || lines[0] != kMagic || !lines.contains("end"))
        return false;
    committed = false;
    QByteArray identity;
    for (const QByteArray &line : lines) {
        const int space = line.indexOf(' ');
        const QByteArray word = line.left(space);
        const QByteArray value = space < 0 ? QByteArray() : line.mid(space + 1);
        const QByteArray name = QByteArray::fromHex(value);
        if (word == "folder")
            identity = value;
        else if (word == "state")
            committed = value == "committed";
        else if (word == "staging")
            plan.staging = name;
        else if (word == "previous")
            plan.previous = name;
        else if (word == "swap")
            plan.swapFolder = name;
        else if (word == "out")
            plan.outgoing.append(name);
        else if (word == "in")
            plan.incoming.append(name);
    }
    // Only names of the pack's top level and of the update folder: a journal that came with a
    // pack cannot move anything elsewhere.
    bool sound = !identity.isEmpty() && identity == folderIdentity(updateFolder) &&
                 singleName(plan.previous) && !plan.staging.isEmpty() &&
                 !plan.staging.startsWith('/');
    for (const QByteArray &part : plan.staging.split('/'))
        sound = sound && (part.isEmpty() || singleName(part));
    for (const QByteArray &name : plan.outgoing + plan.incoming)
        sound = sound && singleName(name);
    return sound && (plan.swapFolder.isEmpty() || isSwapFolder(plan.packDir, plan.swapFolder));
}

void removeTree(const QByteArray &path)
{
    RemoveTree(QFile::decodeName(path));
}

QByteArray stagingFolder(const SwapPlan &plan)
{
    // The first component of the staging path: the folder the archive was unpacked into.
    return plan.staging.left(plan.staging.indexOf('/'));
}

// Puts every name back where it was before the swap. Each name is in exactly one place at any
// time, so a name found in the pack and gone from the staging folder came in with the swap.
void rollBack(const SwapPlan &plan)
{
    const QByteArray update = updateFolderOf(plan);
    const QByteArray base = baseFolder(plan);
    const QByteArray stage = base + plan.staging;
    const QByteArray previous = base + plan.previous + '/';
    for (qsizetype i = plan.incoming.size() - 1; i >= 0; --i) {
        const QByteArray &name = plan.incoming[i];
        if (exists(plan.packDir + name) && !exists(stage + name) &&
            ::rename((plan.packDir + name).constData(), (stage + name).constData()) != 0)
            throw AppError(QStringLiteral("Cannot move %1 back").arg(QFile::decodeName(name)));
    }
    for (qsizetype i = plan.outgoing.size() - 1; i >= 0; --i) {
        const QByteArray &name = plan.outgoing[i];
        if (exists(previous + name) && !exists(plan.packDir + name) &&
            ::rename((previous + name).constData(), (plan.packDir + name).constData()) != 0)
            throw AppError(QStringLiteral("Cannot move %1 back").arg(QFile::decodeName(name)));
    }
    syncFolder(plan.packDir);
    ::unlink((update + kJournal).constData());
    ::unlink((update + kSwapRecord).constData());
    syncFolder(update);
    if (!plan.swapFolder.isEmpty()) {
        removeTree(base); // the new files and the emptied previous folder
        return;
    }
    ::rmdir((update + plan.previous).constData()); // only when empty
    removeTree(update + stagingFolder(plan));
}

// Removes the temporaries of the update folder's own files that a killed run left (regular
// files at least a minute old, so that a write going on now is not disturbed).
void removeStaleTemporaries(const QByteArray &updateFolder)
{
    DIR *dir = ::opendir(updateFolder.constData());
    if (!dir)
        return;
    while (const dirent *e = ::readdir(dir)) {
        struct stat st;
        if (std::strstr(e->d_name, ".part-") &&
            ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_mtime < ::time(nullptr) - 60)
            ::unlinkat(::dirfd(dir), e->d_name, 0);
    }
    ::closedir(dir);
}

// Ends a committed swap; returns the folder where the previous version is kept. @p copied runs
// once the previous version has been copied out of a swap folder.
QByteArray finish(const SwapPlan &plan, const std::function<void()> &copied = {})
{
    const QByteArray update = updateFolderOf(plan);
    const QByteArray base = baseFolder(plan);
    removeTree(base + stagingFolder(plan));
    bool keptInPack = false;
    if (!plan.swapFolder.isEmpty() && isRealFolder(base + plan.previous)) {
        // Into the update folder, by a copy under a name of its own renamed at the end: a
        // previous folder there is whole. The copy being made again after a kill.
        const QByteArray part = update + plan.previous + ".copying";
        removeTree(part);
        keptInPack = !exists(update + plan.previous) &&
                     !(platform::copyTree(base + plan.previous, part) &&
                       ::rename(part.constData(), (update + plan.previous).constData()) == 0);
        removeTree(part);
        if (!keptInPack && copied)
            copied();
    }
    ::unlink((update + kJournal).constData());
    ::unlink((update + kSwapRecord).constData());
    syncFolder(update);
    if (keptInPack)
        return base + plan.previous;
    if (!plan.swapFolder.isEmpty())
        removeTree(base);
    return update + plan.previous;
}

// Makes a swap folder, fresh, inside the pack and records its name in the update folder.
QByteArray makeSwapFolder(const QByteArray &packDir, const QByteArray &update)
{
    QByteArray path = packDir + kSwapPrefix + "XXXXXX";
    if (!::mkdtemp(path.data()))
        throw AppError(QStringLiteral("The update was not installed: cannot make a folder in %1: %2")
                           .arg(QFile::decodeName(packDir), QString::fromLocal8Bit(strerror(errno))));
    const QByteArray name = path.mid(packDir.size());
    try {
        writeFile(update, kSwapRecord, name.toHex() + '\n');
    } catch (const AppError &) {
        ::rmdir(path.constData());
        throw;
    }
    return name;
}

} // namespace

void RemoveTree(const QString &path)
{
    QByteArray native = QFile::encodeName(path);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        ::unlink(native.constData());
        return;
    }
    // Inside a real folder Qt removes links themselves, never what they name.
    QDir(QFile::decodeName(native)).removeRecursively();
}

QString UpdateFolder(const QString &packDir)
{
    const QString state = platform::packStateFolder(packDir);
    if (state.isEmpty())
        throw AppError(QStringLiteral("Cannot make the folder for this pack's updates in %1")
                           .arg(platform::varimondStateFolder()));
    return state + QStringLiteral("update/");
}

bool IsKeptName(const QByteArray &name, const QByteArray &programName)
{
    return name.startsWith(".varimond") || name == programName || name == "NewVersionInfo.ini" ||
           name == "NewVersionNotes.html";
}

SwapPlan MakeSwapPlan(const QString &packDir, const QString &newRoot, const QString &oldVersion,
                      const QString &programName, const QByteArrayList &packNames)
{
    SwapPlan plan;
    plan.packDir = QFile::encodeName(packDir);
    const QString update = UpdateFolder(packDir);
    if (!newRoot.startsWith(update))
        throw AppError(QStringLiteral("The new version is not in %1").arg(update));
    plan.staging = QFile::encodeName(newRoot.mid(update.size()));
    const QByteArray program = QFile::encodeName(programName);
    plan.incoming = topLevelNames(QFile::encodeName(newRoot), program);
    // The swap moves files by renames, which only one file system can do whole: when the pack
    // lies on another than the update folder, the new version is copied into a folder of the
    // pack made for this swap, and the old files go there too.
    struct stat packStat, updateStat;
    if (::stat(plan.packDir.constData(), &packStat) != 0 ||
        ::stat(QFile::encodeName(update).constData(), &updateStat) != 0)
        throw AppError(QStringLiteral("The update was not installed: cannot read %1").arg(update));
    if (packStat.st_dev != updateStat.st_dev) {
        RemoveUnusedSwapFolder(packDir); // one plan's folder at a time
        plan.swapFolder = makeSwapFolder(plan.packDir, QFile::encodeName(update));
        plan.staging = "staging/";
        QByteArray from = QFile::encodeName(newRoot);
        from.chop(1);
        if (!platform::copyTree(from, plan.packDir + plan.swapFolder + "/staging")) {
            RemoveUnusedSwapFolder(packDir);
            throw AppError(QStringLiteral("The update was not installed: it cannot be copied "
                                          "into %1")
                               .arg(packDir));
        }
        // The unpacked version is the copy's now: the staging folder it came in goes.
        const QByteArray unpacked = QFile::encodeName(newRoot.mid(update.size()));
        removeTree(QFile::encodeName(update) + unpacked.left(unpacked.indexOf('/')));
    }
    for (const QByteArray &name : topLevelNames(plan.packDir, program)) {
        if (plan.incoming.contains(name) || packNames.contains(name))
            plan.outgoing.append(name);
    }
    const QByteArray base = "previous-" + QFile::encodeName(VersionFolderText(oldVersion));
    plan.previous = base;
    for (int n = 2; exists(QFile::encodeName(update) + plan.previous); ++n)
        plan.previous = base + '-' + QByteArray::number(n);
    return plan;
}

QByteArrayList InstalledNames(const QString &packDir)
{
    QByteArrayList names;
    const std::optional<QByteArray> text =
        platform::readOwnFile(UpdateFolder(packDir) + QStringLiteral("installed"), 16 * 1024 * 1024);
    for (const QByteArray &line : text.value_or(QByteArray()).split('\n')) {
        const QByteArray name = QByteArray::fromHex(line.trimmed());
        if (singleName(name))
            names.append(name);
    }
    return names;
}

QString SwapPack(const SwapPlan &plan, const SwapStepHook &hook)
{
    const QByteArray update = updateFolderOf(plan);
    const QByteArray base = baseFolder(plan);
    const QByteArray stage = base + plan.staging;
    const QByteArray previous = base + plan.previous + '/';
    int step = 0;
    auto next = [&] {
        if (hook)
            hook(step);
        ++step;
    };
    next();
    writeJournal(update, journalText(plan, false));
    try {
        if (::mkdir((base + plan.previous).constData(), 0755) != 0)
            throw AppError(QStringLiteral("Cannot make the folder %1")
                               .arg(QFile::decodeName(base + plan.previous)));
        for (const QByteArray &name : plan.outgoing) {
            next();
            if (::rename((plan.packDir + name).constData(), (previous + name).constData()) != 0)
                throw AppError(
                    QStringLiteral("Cannot move %1 aside: %2")
                        .arg(QFile::decodeName(name), QString::fromLocal8Bit(strerror(errno))));
        }
        for (const QByteArray &name : plan.incoming) {
            next();
            if (::rename((stage + name).constData(), (plan.packDir + name).constData()) != 0)
                throw AppError(
                    QStringLiteral("Cannot move the new %1 in: %2")
                        .arg(QFile::decodeName(name), QString::fromLocal8Bit(strerror(errno))));
        }
        syncFolder(plan.packDir);
        next();
        writeJournal(update, journalText(plan, true));
    } catch (const AppError &) {
        rollBack(plan);
        throw;
    }
    next();
    // What this version put in, so that the next update takes it out again, also the names
    // it drops. Bookkeeping only: the swap is complete without it.
    QByteArray installed;
    for (const QByteArray &name : plan.incoming)
        installed += name.toHex() + '\n';
    try {
        writeFile(update, "installed", installed);
    } catch (const AppError &) {
    }
    return QFile::decodeName(finish(plan, next));
}

void RemoveUnusedSwapFolder(const QString &packDir)
{
    const QByteArray update = QFile::encodeName(UpdateFolder(packDir));
    if (exists(update + kJournal))
        return; // a swap began: its recovery deals with the folder
    const std::optional<QByteArray> text =
        platform::readOwnFile(QFile::decodeName(update + kSwapRecord), 4096);
    const QByteArray pack = QFile::encodeName(packDir);
    const QByteArray name = QByteArray::fromHex(text.value_or(QByteArray()).trimmed());
    if (isSwapFolder(pack, name))
        removeTree(pack + name);
    ::unlink((update + kSwapRecord).constData());
}

Recovery RecoverSwap(const QString &packDir)
{
    const QByteArray update = QFile::encodeName(UpdateFolder(packDir));
    // Only the pack's own folder is looked into, never one a link leads to.
    if (!isRealFolder(update.left(update.size() - 1)))
        return Recovery::Nothing;
    removeStaleTemporaries(update);
    if (!exists(update + kJournal)) {
        // Without a journal no file of the pack has moved: a staging folder is what an
        // interrupted unpack left, new files only.
        removeTree(update + "staging");
        RemoveUnusedSwapFolder(packDir);
        return Recovery::Nothing;
    }
    SwapPlan plan;
    plan.packDir = QFile::encodeName(packDir);
    bool committed = false;
    if (!readJournal(update, plan, committed)) {
        // Not ours, or not whole (the journal is replaced in one rename, so ours always is):
        // nothing is moved on its word.
        ::unlink((update + kJournal).constData());
        return Recovery::Nothing;
    }
    if (committed) {
        finish(plan);
        return Recovery::Finished;
    }
    rollBack(plan);
    return Recovery::RolledBack;
}

} // namespace packupdate
