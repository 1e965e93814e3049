#include "options/OptionScan.h"

#include "core/Common.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>

#include <algorithm>
#include <vector>

namespace {

// Progress goes to the splash about 60 times a second: often enough for the count to run,
// rarely enough that repainting never dominates the scan.
constexpr qint64 ProgressIntervalMs = 16;

struct Entry
{
    enum Kind : quint8 { File, Folder, Other };

    QString name;
    Kind kind = Other; // after following a symbolic link
    bool link = false;
};

// Every entry of one folder, read once, in the program's listing order.
using Listing = std::vector<Entry>;

bool listingOrder(const Entry &a, const Entry &b)
{
    const int c = a.name.compare(b.name, Qt::CaseInsensitive);
    return c != 0 ? c < 0 : a.name < b.name;
}

Listing listFolder(const QString &folder)
{
    Listing entries;
    // The entry types come from the listing itself; only symbolic links cost a look at their
    // target.
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        Entry e;
        e.name = info.fileName();
        e.link = info.isSymLink();
        e.kind = info.isDir() ? Entry::Folder : info.isFile() ? Entry::File : Entry::Other;
        entries.push_back(std::move(e));
    }
    std::sort(entries.begin(), entries.end(), listingOrder);
    return entries;
}

// The entry a name read from a file finds in the folder, as platform::resolvePath finds it:
// the exact name, else the first name that matches it ignoring case.
const Entry *findEntry(const Listing &entries, const QString &name)
{
    for (const Entry &e : entries) {
        if (e.name == name)
            return &e;
    }
    for (const Entry &e : entries) {
        if (e.name.compare(name, Qt::CaseInsensitive) == 0)
            return &e;
    }
    return nullptr;
}

bool isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

// The descriptor of @p folder, answered from its listing where it can be: the descriptor file
// and the script names are looked up in the entries already read instead of on disk again.
TCurrentOption readDescriptor(const QString &folder, const Listing &entries)
{
    // A folder that gives no listing because it may not be read is left to the ordinary
    // look-ups, which may still find files in it by name.
    if (entries.empty() && !QFileInfo(folder).isReadable())
        return ReadOptionDescriptor(folder, ProgramSettings);

    const QString iniName = QStringLiteral("options.ini");
    const Entry *ini = findEntry(entries, iniName);
    const platform::IniFile file(folder + (ini ? ini->name : iniName));
    return ReadOptionDescriptor(file, ProgramSettings, [&](const QString &name) {
        if (name.isEmpty())
            return false; // the folder itself, which is no file
        if (!isPlainName(name))
            return platform::fileExists(folder + name);
        const Entry *e = findEntry(entries, name);
        return e && e->kind == Entry::File;
    });
}

// One folder being walked: its sub-folders and how far the walk has got through them.
struct Frame
{
    QString folder;             // ends in '/'
    QString canonical;          // the folder with every link resolved, without a trailing '/'
    OptionNode *node = nullptr; // the folder's node; null for the options root
    int level = 0;              // level of the nodes added for the sub-folders
    Listing subFolders;
    size_t next = 0;
};

// The option folders among a listing: folders (links to folders included) whose name does not
// begin with '.'.
Listing subFoldersOf(Listing &entries)
{
    Listing folders;
    for (Entry &e : entries) {
        if (e.kind == Entry::Folder && !e.name.startsWith(QLatin1Char('.')))
            folders.push_back(std::move(e));
    }
    return folders;
}

bool onPath(const std::vector<Frame> &stack, const QString &canonical)
{
    return std::any_of(stack.begin(), stack.end(),
                       [&](const Frame &f) { return f.canonical == canonical; });
}

QString withSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

} // namespace

void GetDirectories(OptionTree &tree, const QString &folder, OptionNode *parent, int &optionCount,
                    const std::function<void(int)> &progress)
{
    GetDirectories(tree, folder, parent, optionCount, progress, OptionScanLimits{});
}

void GetDirectories(OptionTree &tree, const QString &folder, OptionNode *parent, int &optionCount,
                    const std::function<void(int)> &progress, const OptionScanLimits &limits)
{
    QElapsedTimer clock;
    clock.start();
    qint64 lastReport = -ProgressIntervalMs;
    auto report = [&] {
        if (!progress)
            return;
        const qint64 now = clock.elapsed();
        if (now - lastReport >= ProgressIntervalMs) {
            lastReport = now;
            progress(optionCount);
        }
    };

    const int rootLevel = parent ? parent->Level() + 1 : 0;
    std::vector<Frame> stack;
    if (rootLevel < limits.MaxDepth) {
        Frame root;
        root.folder = withSlash(folder);
        root.canonical = QFileInfo(root.folder).canonicalFilePath();
        root.node = parent;
        root.level = rootLevel;
        Listing entries = listFolder(root.folder);
        root.subFolders = subFoldersOf(entries);
        stack.push_back(std::move(root));
    }

    int added = 0;
    while (!stack.empty() && added < limits.MaxNodes) {
        // Each folder read moves the count on the splash on (a folder without sub-folders is
        // done as soon as it is read), as often as the interval lets it.
        report();
        Frame &frame = stack.back();
        if (frame.next == frame.subFolders.size()) {
            stack.pop_back();
            continue;
        }
        const Entry &sub = frame.subFolders[frame.next++];
        const QString &name = sub.name;
        const QString path = frame.folder + name + QLatin1Char('/');

        QString canonical;
        if (sub.link) {
            // A link back to a folder on the current path would walk in circles. The link is
            // resolved from its folder's own resolved path, so the links above it cost nothing.
            canonical = QFileInfo(frame.canonical + QLatin1Char('/') + name).canonicalFilePath();
            if (canonical.isEmpty() || onPath(stack, canonical))
                continue;
        } else {
            canonical = frame.canonical + QLatin1Char('/') + name;
        }

        Listing entries = listFolder(path);
        OptionNode *node = tree.Add(frame.node, name);
        ++added;
        CurrentOption = readDescriptor(path, entries);
        const int mode = CurrentOption.OptionMode;

        node->StateIndex = mode;
        if (mode >= Hidden && mode <= ModeOn) {
            if (frame.level == 0)
                node->StateIndex = FolderClosed;
            else if (frame.level >= 2 && mode != Hidden &&
                     frame.node->StateIndex != MarkedFolderClosed)
                tree.SetState(frame.node, FolderClosed);
        }
        if (IsSelectable(node->StateIndex))
            ++optionCount;

        if (mode == Hidden) {
            tree.Remove(node);
            --added;
            continue;
        }
        if (frame.level + 1 >= limits.MaxDepth)
            continue;
        Listing subFolders = subFoldersOf(entries);
        if (subFolders.empty())
            continue;
        Frame child;
        child.folder = path;
        child.canonical = std::move(canonical);
        child.node = node;
        child.level = frame.level + 1;
        child.subFolders = std::move(subFolders);
        stack.push_back(std::move(child)); // `frame` is not used past this point
    }
    if (progress)
        progress(optionCount);
}

bool WalkOptionFolders(const QString &root, const std::function<void(const OptionFolder &)> &visit,
                       const OptionScanLimits &limits)
{
    const auto filesOf = [](const Listing &entries) {
        QStringList files;
        for (const Entry &e : entries) {
            if (e.kind == Entry::File)
                files.append(e.name);
        }
        return files;
    };

    Frame top;
    top.folder = withSlash(root);
    top.canonical = QFileInfo(top.folder).canonicalFilePath();
    if (top.canonical.isEmpty())
        return true; // nothing there to walk
    Listing rootEntries = listFolder(top.folder);
    visit(OptionFolder{top.folder, QString(), filesOf(rootEntries)});
    top.subFolders = subFoldersOf(rootEntries);
    if (limits.MaxDepth <= 0)
        return top.subFolders.empty();

    bool complete = true;
    std::vector<Frame> stack;
    std::vector<QString> relative; // each frame's folder below the root
    stack.push_back(std::move(top));
    relative.emplace_back();
    int visited = 0;
    while (!stack.empty()) {
        Frame &frame = stack.back();
        if (frame.next == frame.subFolders.size()) {
            stack.pop_back();
            relative.pop_back();
            continue;
        }
        if (visited >= limits.MaxNodes)
            return false;
        const Entry &sub = frame.subFolders[frame.next++];
        QString canonical;
        if (sub.link) {
            canonical =
                QFileInfo(frame.canonical + QLatin1Char('/') + sub.name).canonicalFilePath();
            if (canonical.isEmpty() || onPath(stack, canonical))
                continue;
        } else {
            canonical = frame.canonical + QLatin1Char('/') + sub.name;
        }
        const QString path = frame.folder + sub.name + QLatin1Char('/');
        const QString rel = relative.back() + sub.name + QLatin1Char('/');
        Listing entries = listFolder(path);
        ++visited;
        visit(OptionFolder{path, rel, filesOf(entries)});

        const int depth = frame.level + 1;
        Listing subFolders = subFoldersOf(entries);
        if (subFolders.empty())
            continue;
        if (depth >= limits.MaxDepth) {
            complete = false;
            continue;
        }
        Frame child;
        child.folder = path;
        child.canonical = std::move(canonical);
        child.level = depth;
        child.subFolders = std::move(subFolders);
        stack.push_back(std::move(child)); // `frame` is not used past this point
        relative.push_back(rel);
    }
    return complete;
}
