#include "options/OptionScan.h"

#include "core/Common.h"
#include "options/OptionNode.h"
#include "files/FileNames.h"
#include "files/FolderReader.h"
#include "ini/IniFile.h"
#include "ini/IniView.h"
#include "files/Paths.h"

#include <QElapsedTimer>

#include <climits>
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using platform::FolderEntry;
using platform::FolderReader;

namespace {

// Progress goes to the splash about 60 times a second: often enough for the count to run,
// rarely enough that repainting never dominates the scan.
constexpr qint64 ProgressIntervalMs = 16;

bool isAscii(const char *s, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(s[i]) >= 0x80)
            return false;
    }
    return true;
}

// One folder's entries as read from disk: names are bytes in one buffer.
struct Listing
{
    std::vector<FolderEntry> entries;
    std::string names;
    bool readable = false;

    const char *name(const FolderEntry &e) const { return names.data() + e.nameOffset; }
    QString shown(const FolderEntry &e) const
    {
        return platform::decodeFileName(name(e), e.nameLength);
    }
};

// A name read from a file, kept in the forms the look-ups compare; it is made again only when
// the text changes, which across a pack is rare (most descriptors name the same scripts).
struct WantedName
{
    QString text;
    QByteArray utf8;
    bool valid = false;

    void set(const QString &t)
    {
        if (valid && t == text)
            return;
        text = t;
        utf8 = t.toUtf8();
        valid = true;
    }
};

// The entry a name read from a file finds in the folder, as platform::resolvePath finds it:
// the exact name, else of the names that match it ignoring case the first in listing order.
const FolderEntry *findEntry(const Listing &l, const WantedName &wanted)
{
    const QString &text = wanted.text;
    const FolderEntry *best = nullptr;
    QString bestShown;
    for (const FolderEntry &e : l.entries) {
        const char *name = l.name(e);
        const bool ascii = isAscii(name, e.nameLength);
        if (e.nameLength == static_cast<std::size_t>(wanted.utf8.size()) &&
            std::memcmp(name, wanted.utf8.constData(), e.nameLength) == 0)
            return &e;
        if (ascii) {
            if (static_cast<qsizetype>(e.nameLength) != text.size() ||
                text.compare(QLatin1StringView(name, e.nameLength), Qt::CaseInsensitive) != 0)
                continue;
            const QString shown = QString::fromLatin1(name, e.nameLength);
            if (!best || shown < bestShown) {
                best = &e;
                bestShown = shown;
            }
            continue;
        }
        const QString shown = l.shown(e);
        if (shown == text)
            return &e; // a Windows-1252 name that reads as the wanted text
        if (shown.compare(text, Qt::CaseInsensitive) == 0 && (!best || shown < bestShown)) {
            best = &e;
            bestShown = shown;
        }
    }
    return best;
}

bool isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

struct SubFolder
{
    QString shown; // the name as shown, for a name that is not ASCII; an ASCII name is its bytes
    std::uint32_t nativeOffset = 0; // in the frame's name buffer
    std::uint32_t nativeLength = 0;
    bool ascii = true;
    bool link = false;
    dev_t device = 0;
    ino_t inode = 0;
};

// The program's listing order: names ignoring case, names that differ only in case by their
// characters' codes.
bool listingOrder(const QString &a, const QString &b)
{
    const int c = a.compare(b, Qt::CaseInsensitive);
    return c != 0 ? c < 0 : a < b;
}

char foldAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// The same order for two ASCII names, on their bytes.
bool asciiListingOrder(const char *a, std::size_t aLength, const char *b, std::size_t bLength)
{
    const std::size_t n = std::min(aLength, bLength);
    for (std::size_t i = 0; i < n; ++i) {
        const char fa = foldAscii(a[i]);
        const char fb = foldAscii(b[i]);
        if (fa != fb)
            return fa < fb;
    }
    if (aLength != bLength)
        return aLength < bLength;
    return std::memcmp(a, b, n) < 0;
}

// One folder being walked: its open descriptor, its sub-folders and how far the walk has got
// through them.
struct Frame
{
    int fd = -1;
    std::size_t pathLength = 0; // of the folder's path on disk, with its trailing '/'
    dev_t device = 0;
    ino_t inode = 0;
    OptionNode *node = nullptr; // the folder's node; null for the scan's root
    int level = 0;              // level of the nodes added for the sub-folders
    std::vector<SubFolder> subFolders;
    std::string names; // the sub-folders' names on disk, each ended by a NUL
    size_t next = 0;

    const char *native(const SubFolder &s) const { return names.data() + s.nativeOffset; }
    QString shown(const SubFolder &s) const
    {
        return s.ascii ? QString::fromLatin1(native(s), s.nativeLength) : s.shown;
    }
};

// The option folders of a listing: folders (links to folders included) whose name does not
// begin with '.', in the program's listing order.
void takeSubFolders(const Listing &l, Frame &frame)
{
    frame.subFolders.clear();
    frame.names.clear();
    for (const FolderEntry &e : l.entries) {
        const char *name = l.name(e);
        if (e.kind != FolderEntry::Folder || name[0] == '.')
            continue;
        SubFolder s;
        s.ascii = isAscii(name, e.nameLength);
        if (!s.ascii)
            s.shown = l.shown(e);
        s.nativeOffset = static_cast<std::uint32_t>(frame.names.size());
        s.nativeLength = e.nameLength;
        s.link = e.link;
        s.device = e.device;
        s.inode = e.inode;
        frame.names.append(name, e.nameLength + 1); // with its NUL
        frame.subFolders.push_back(std::move(s));
    }
    std::sort(frame.subFolders.begin(), frame.subFolders.end(),
              [&frame](const SubFolder &a, const SubFolder &b) {
                  if (a.ascii && b.ascii)
                      return asciiListingOrder(frame.native(a), a.nativeLength, frame.native(b),
                                               b.nativeLength);
                  return listingOrder(frame.shown(a), frame.shown(b));
              });
}

QString withSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

// Everything one walk reuses from folder to folder.
class Walker
{
public:
    Walker(const QString &root, OptionNode *rootParent, const TProgramSettings &settings)
        : m_root(root), m_rootParent(rootParent), m_settings(settings)
    {
        m_iniName.set(QStringLiteral("options.ini"));
    }

    // The folder of @p node as a path string, for the rare look-up the listing cannot answer.
    QString pathOf(const OptionNode *node) const
    {
        QString path;
        for (const OptionNode *n = node; n && n != m_rootParent; n = n->Parent)
            path.prepend(n->Text() + QLatin1Char('/'));
        return m_root + path;
    }

    // The descriptor of the folder open as @p fd (or reachable by name only as @p lookupFd when
    // it could not be listed), answered from its listing where it can be.
    TCurrentOption readDescriptor(const OptionNode *node, int fd, int lookupFd, const Listing &l)
    {
        const int dirFd = fd >= 0 ? fd : lookupFd;
        std::size_t length = 0;
        bool read = false;
        if (l.readable) {
            const FolderEntry *ini = findEntry(l, m_iniName);
            if (ini && ini->kind == FolderEntry::File)
                read = FolderReader::readFile(fd, l.name(*ini), m_content, length,
                                              platform::IniFile::MaxFileSize);
        } else if (dirFd >= 0 && FolderReader::kindOf(dirFd, "options.ini") == FolderEntry::File) {
            read = FolderReader::readFile(dirFd, "options.ini", m_content, length,
                                          platform::IniFile::MaxFileSize);
        }
        if (read && length >= 2 &&
            ((m_content[0] == '\xFF' && m_content[1] == '\xFE') ||
             (m_content[0] == '\xFE' && m_content[1] == '\xFF'))) {
            // A descriptor saved as UTF-16 is rare: the INI layer, which reads that form, reads
            // it again by path.
            const platform::IniFile ini(
                platform::resolvePath(pathOf(node) + QStringLiteral("options.ini")));
            return ReadOptionDescriptor(ini, m_settings, [&](const QString &name) {
                return scriptInListing(node, l, name);
            });
        }
        m_view.parse(m_content.data(), read ? length : 0);

        return ReadOptionDescriptor(m_view, m_settings, [&](const QString &name) {
            return scriptInListing(node, l, name);
        });
    }

    // Whether a script name from the descriptor names a file of the folder, answered from its
    // listing where there is one.
    bool scriptInListing(const OptionNode *node, const Listing &l, const QString &name)
    {
        if (name.isEmpty())
            return false; // the folder itself, which is no file
        if (!isPlainName(name) || !l.readable)
            return platform::fileExists(pathOf(node) + name); // no listing to look in
        WantedName &wanted = m_scripts[name == m_scripts[0].text ? 0 : 1];
        wanted.set(name);
        const FolderEntry *e = findEntry(l, wanted);
        return e && e->kind == FolderEntry::File;
    }

    FolderReader reader;
    Listing listing;

private:
    QString m_root;
    OptionNode *m_rootParent;
    const TProgramSettings &m_settings;
    WantedName m_iniName;
    WantedName m_scripts[2];
    std::vector<char> m_content;
    platform::IniView m_view;
};

bool onPath(const std::vector<Frame> &stack, dev_t device, ino_t inode)
{
    return std::any_of(stack.begin(), stack.end(),
                       [&](const Frame &f) { return f.inode == inode && f.device == device; });
}

} // namespace

OptionScanResult ScanOptionFolders(OptionTree &tree, const QString &folder, OptionNode *parent,
                                   const TProgramSettings &settings, const OptionScanLimits &limits,
                                   const std::function<void(int)> &progress,
                                   const std::atomic<bool> *stop)
{
    OptionScanResult result;
    QElapsedTimer clock;
    clock.start();
    qint64 lastReport = -ProgressIntervalMs;
    auto report = [&] {
        if (!progress)
            return;
        const qint64 now = clock.elapsed();
        if (now - lastReport >= ProgressIntervalMs) {
            lastReport = now;
            progress(result.OptionCount);
        }
    };

    const QString rootPath = withSlash(folder);
    Walker walker(rootPath, parent, settings);
    const int rootLevel = parent ? parent->Level() + 1 : 0;
    std::vector<Frame> stack;
    if (rootLevel < limits.MaxDepth) {
        Frame root;
        const QByteArray nativeRoot = platform::nativePath(rootPath);
        root.fd = FolderReader::openFolder(AT_FDCWD, nativeRoot.constData());
        root.pathLength = static_cast<std::size_t>(nativeRoot.size());
        if (root.fd >= 0 && FolderReader::identity(root.fd, root.device, root.inode) &&
            walker.reader.list(root.fd, root.device, walker.listing.entries,
                               walker.listing.names)) {
            root.node = parent;
            root.level = rootLevel;
            takeSubFolders(walker.listing, root);
            stack.push_back(std::move(root));
        } else {
            FolderReader::closeFolder(root.fd);
        }
    }

    int added = 0;
    while (!stack.empty() && added < limits.MaxNodes) {
        if (stop && stop->load(std::memory_order_relaxed)) {
            result.Stopped = true;
            break;
        }
        // Each folder read moves the count on the splash on (a folder without sub-folders is
        // done as soon as it is read), as often as the interval lets it.
        report();
        Frame &frame = stack.back();
        if (frame.next == frame.subFolders.size()) {
            FolderReader::closeFolder(frame.fd);
            tree.FitChildren(frame.node); // no slack kept for children that will not come
            stack.pop_back();
            continue;
        }
        const SubFolder &sub = frame.subFolders[frame.next++];
        // A link back to a folder on the current path would walk in circles.
        if (sub.link && onPath(stack, sub.device, sub.inode))
            continue;

        const char *native = frame.names.data() + sub.nativeOffset;
        // A folder whose path is longer than the system opens by path is not entered: the
        // other parts of the program reach a folder by its path, and could not reach it.
        const std::size_t pathLength = frame.pathLength + sub.nativeLength + 1;
        const bool reachable = pathLength < PATH_MAX;
        const int fd = reachable ? FolderReader::openFolder(frame.fd, native) : -1;
        int lookupFd = -1;
        Listing &listing = walker.listing;
        listing.readable =
            fd >= 0 && walker.reader.list(fd, sub.device, listing.entries, listing.names);
        if (!listing.readable) {
            listing.entries.clear();
            // A folder that may be searched but not listed still gives files known by name.
            if (reachable)
                lookupFd = FolderReader::openForLookup(frame.fd, native);
        }

        OptionNode *node = sub.ascii ? tree.AddAscii(frame.node, native, sub.nativeLength)
                                     : tree.Add(frame.node, sub.shown);
        ++added;
        result.LastDescriptor = walker.readDescriptor(node, fd, lookupFd, listing);
        result.DescriptorRead = true;
        FolderReader::closeFolder(lookupFd);
        const int mode = result.LastDescriptor.OptionMode;

        node->StateIndex = mode;
        if (mode >= Hidden && mode <= ModeOn) {
            if (frame.level == 0)
                node->StateIndex = FolderClosed;
            else if (frame.level >= 2 && mode != Hidden &&
                     frame.node->StateIndex != MarkedFolderClosed)
                tree.SetState(frame.node, FolderClosed);
        }
        if (IsSelectable(node->StateIndex))
            ++result.OptionCount;

        if (mode == Hidden) {
            tree.Remove(node);
            --added;
            FolderReader::closeFolder(fd);
            continue;
        }
        Frame child;
        takeSubFolders(listing, child);
        if (child.subFolders.empty()) {
            FolderReader::closeFolder(fd);
            continue;
        }
        if (frame.level + 1 >= limits.MaxDepth) {
            result.DepthLimitReached = true;
            FolderReader::closeFolder(fd);
            continue;
        }
        child.fd = fd;
        child.pathLength = pathLength;
        child.device = sub.device;
        child.inode = sub.inode;
        child.node = node;
        child.level = frame.level + 1;
        node->Children.reserve(child.subFolders.size());
        stack.push_back(std::move(child)); // `frame` and `sub` are not used past this point
    }
    for (const Frame &f : stack) {
        if (f.next < f.subFolders.size() && !result.Stopped)
            result.NodeLimitReached = true;
        FolderReader::closeFolder(f.fd);
        tree.FitChildren(f.node);
    }
    if (progress)
        progress(result.OptionCount);
    return result;
}

OptionScanResult GetDirectories(OptionTree &tree, const QString &folder, OptionNode *parent,
                                int &optionCount, const std::function<void(int)> &progress)
{
    return GetDirectories(tree, folder, parent, optionCount, progress, OptionScanLimits{});
}

OptionScanResult GetDirectories(OptionTree &tree, const QString &folder, OptionNode *parent,
                                int &optionCount, const std::function<void(int)> &progress,
                                const OptionScanLimits &limits)
{
    const int before = optionCount;
    std::function<void(int)> running;
    if (progress)
        running = [&](int count) { progress(before + count); };
    OptionScanResult result =
        ScanOptionFolders(tree, folder, parent, ProgramSettings, limits, running);
    optionCount = before + result.OptionCount;
    if (result.DescriptorRead)
        CurrentOption = result.LastDescriptor;
    return result;
}

bool WalkOptionFolders(const QString &root, const std::function<void(const OptionFolder &)> &visit,
                       const OptionScanLimits &limits)
{
    const auto filesOf = [](const Listing &l) {
        QStringList files;
        for (const FolderEntry &e : l.entries) {
            if (e.kind == FolderEntry::File)
                files.append(l.shown(e));
        }
        return files;
    };

    FolderReader reader;
    Listing listing;
    std::vector<Frame> stack;
    std::vector<QString> paths, relatives; // each frame's folder, as reached and below the root
    auto closeAll = [&] {
        for (const Frame &f : stack)
            FolderReader::closeFolder(f.fd);
    };

    Frame top;
    const QString topPath = withSlash(root);
    const QByteArray nativeRoot = platform::nativePath(topPath);
    top.fd = FolderReader::openFolder(AT_FDCWD, nativeRoot.constData());
    if (top.fd < 0) {
        if (FolderReader::kindOf(AT_FDCWD, nativeRoot.constData()) == FolderEntry::Folder)
            visit(OptionFolder{topPath, QString(), QStringList()}); // there, but not readable
        return true;
    }
    top.pathLength = static_cast<std::size_t>(nativeRoot.size());
    listing.readable = FolderReader::identity(top.fd, top.device, top.inode) &&
                       reader.list(top.fd, top.device, listing.entries, listing.names);
    if (!listing.readable)
        listing.entries.clear();
    visit(OptionFolder{topPath, QString(), filesOf(listing)});
    takeSubFolders(listing, top);
    if (limits.MaxDepth <= 0) {
        FolderReader::closeFolder(top.fd);
        return top.subFolders.empty();
    }

    bool complete = true;
    stack.push_back(std::move(top));
    paths.push_back(topPath);
    relatives.emplace_back();
    int visited = 0;
    while (!stack.empty()) {
        Frame &frame = stack.back();
        if (frame.next == frame.subFolders.size()) {
            FolderReader::closeFolder(frame.fd);
            stack.pop_back();
            paths.pop_back();
            relatives.pop_back();
            continue;
        }
        if (visited >= limits.MaxNodes) {
            closeAll();
            return false;
        }
        const SubFolder &sub = frame.subFolders[frame.next++];
        if (sub.link && onPath(stack, sub.device, sub.inode))
            continue;
        const char *native = frame.names.data() + sub.nativeOffset;
        const std::size_t pathLength = frame.pathLength + sub.nativeLength + 1;
        const int fd = pathLength < PATH_MAX ? FolderReader::openFolder(frame.fd, native) : -1;
        listing.readable = fd >= 0 && reader.list(fd, sub.device, listing.entries, listing.names);
        if (!listing.readable)
            listing.entries.clear();
        const QString name = frame.shown(sub);
        const QString path = paths.back() + name + QLatin1Char('/');
        const QString rel = relatives.back() + name + QLatin1Char('/');
        ++visited;
        visit(OptionFolder{path, rel, filesOf(listing)});

        Frame child;
        takeSubFolders(listing, child);
        const int depth = frame.level + 1;
        if (child.subFolders.empty() || depth >= limits.MaxDepth) {
            complete = complete && child.subFolders.empty();
            FolderReader::closeFolder(fd);
            continue;
        }
        child.fd = fd;
        child.pathLength = pathLength;
        child.device = sub.device;
        child.inode = sub.inode;
        child.level = depth;
        stack.push_back(std::move(child)); // `frame` and `sub` are not used past this point
        paths.push_back(path);
        relatives.push_back(rel);
    }
    return complete;
}
