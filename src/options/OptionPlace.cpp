#include "options/OptionPlace.h"

#include "core/Common.h"
#include "files/Confine.h"
#include "files/FolderNames.h"
#include "options/OptionNode.h"

#include <QFile>
#include <QStringBuilder>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// The node's folder name: the one place the folder rules take it from the node.
QString Name(const OptionNode *node)
{
    return node->Text();
}

bool IsAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

QString Below(const QString &real, const QString &name)
{
    return real.endsWith(QLatin1Char('/')) ? real + name : real + QLatin1Char('/') + name;
}

} // namespace

FolderPlaces::FolderPlaces(const QString &optionsRoot)
    : m_optionsRoot(optionsRoot), m_realRoot(platform::realLocation(optionsRoot))
{
}

FolderPlaces::~FolderPlaces()
{
    for (const auto &known : m_places) {
        if (known.second.fd >= 0)
            ::close(known.second.fd);
    }
    if (m_root && m_root->fd >= 0)
        ::close(m_root->fd);
}

int FolderPlaces::keep(int fd)
{
    // Within a bound on the files one run keeps open; past it a folder is reached by its path.
    constexpr int MaxHeld = 64;
    if (fd < 0 || m_held < MaxHeld) {
        m_held += fd >= 0;
        return fd;
    }
    ::close(fd);
    return -1;
}

FolderPlaces::Place &FolderPlaces::root()
{
    if (!m_root) {
        m_root.emplace();
        m_root->folder = m_optionsRoot;
        m_root->real = m_realRoot;
        m_root->inside = !m_realRoot.isEmpty();
        m_root->fd = keep(::open(QFile::encodeName(m_optionsRoot).constData(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        m_root->chain = m_root->fd >= 0;
    }
    return *m_root;
}

FolderPlaces::Place &FolderPlaces::place(const OptionNode *folderNode)
{
    // A group's leaves ask for the same parent one after the other.
    if (folderNode == m_lastNode)
        return *m_last;
    auto known = m_places.find(folderNode);
    if (known == m_places.end()) {
        const Place &parent = folderNode->Parent ? place(folderNode->Parent) : root();
        Place p;
        p.folder = parent.folder + Name(folderNode) + u'/';
        int fd = -1;
        if (parent.fd >= 0) {
            // Opened from its parent without following a link at its name: a folder opened so
            // lies where its parent does.
            const QByteArray native = NativeName(folderNode);
            fd = ::openat(parent.fd, native.constData(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat st = {};
            // O_DIRECTORY answers a link at the name as "not a folder".
            p.link = fd < 0 && (errno == ELOOP || errno == ENOTDIR) &&
                     ::fstatat(parent.fd, native.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISLNK(st.st_mode);
        } else {
            // The parent is not held: nothing tells what stands at the name, so it is resolved.
            p.link = true;
        }
        if (!p.link) {
            p.chain = parent.chain && fd >= 0;
            p.inside = parent.inside;
            if (!parent.real.isEmpty())
                p.real = Below(parent.real, Name(folderNode));
        } else {
            p.real = platform::realLocation(p.folder);
            p.inside = platform::isWithin(p.real, m_realRoot);
            fd =
                ::open(QFile::encodeName(p.folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        p.fd = keep(fd);
        known = m_places.emplace(folderNode, std::move(p)).first;
    }
    m_lastNode = folderNode;
    m_last = &known->second;
    return known->second;
}

namespace {

// Listings of large folders kept between runs. A folder's change time moves whenever an entry
// is added, removed or renamed in it (and with every change of its modification time), so a
// listing stays true while the folder's identity and both times are the ones it was made with.
// One is kept only when the folder had not changed for a while before it was listed: a change
// right after the listing could otherwise fall within the same clock tick and leave the times
// as they were.
class ListingCache
{
public:
    std::shared_ptr<const FolderEntries> find(const struct stat &st)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const Kept &kept : m_kept) {
            if (same(kept.st, st))
                return kept.entries;
        }
        return nullptr;
    }

    void keep(const struct stat &st, const timespec &listedAt,
              std::shared_ptr<const FolderEntries> entries)
    {
        constexpr size_t MinEntries = 256; // smaller folders list faster than they are looked up
        constexpr time_t Settled = 2;      // seconds without a change before the listing
        // The names kept, all folders together, stay within a bound: a hostile pack's folder of
        // millions of entries is listed anew each time rather than held.
        constexpr size_t MaxBytes = 8 * 1024 * 1024;
        if (entries->names.size() > MaxBytes ||
            std::count(entries->names.begin(), entries->names.end(), '\0') <
                static_cast<std::ptrdiff_t>(MinEntries) ||
            listedAt.tv_sec - st.st_ctim.tv_sec < Settled ||
            listedAt.tv_sec - st.st_mtim.tv_sec < Settled)
            return;
        const std::lock_guard<std::mutex> lock(m_mutex);
        constexpr size_t MaxKept = 16;
        m_kept.erase(std::remove_if(m_kept.begin(), m_kept.end(),
                                    [&](const Kept &k) {
                                        return k.st.st_dev == st.st_dev && k.st.st_ino == st.st_ino;
                                    }),
                     m_kept.end());
        m_kept.push_back({st, std::move(entries)});
        // The oldest go first.
        size_t bytes = 0;
        for (const Kept &k : m_kept)
            bytes += k.entries->names.size();
        while (m_kept.size() > MaxKept || bytes > MaxBytes) {
            bytes -= m_kept.front().entries->names.size();
            m_kept.erase(m_kept.begin());
        }
    }

private:
    struct Kept
    {
        struct stat st;
        std::shared_ptr<const FolderEntries> entries;
    };

    static bool same(const struct stat &a, const struct stat &b)
    {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
               a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec &&
               a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
    }

    std::mutex m_mutex;
    std::vector<Kept> m_kept;
};

ListingCache &listings()
{
    static ListingCache cache;
    return cache;
}

} // namespace

const FolderPlaces::Place &FolderPlaces::listed(const OptionNode *folderNode)
{
    Place &p = place(folderNode);
    if (p.entries)
        return p;
    // A held folder's times tell whether an earlier run's listing still holds.
    struct stat st = {};
    const bool known = p.fd >= 0 && ::fstat(p.fd, &st) == 0;
    if (known) {
        p.entries = listings().find(st);
        if (p.entries)
            return p;
    }
    timespec listedAt = {};
    ::clock_gettime(CLOCK_REALTIME, &listedAt);
    // The held folder is listed through a descriptor of its own, so it keeps no read position.
    const int listingFd = p.fd >= 0 ? ::fcntl(p.fd, F_DUPFD_CLOEXEC, 0)
                                    : ::open(QFile::encodeName(p.folder).constData(),
                                             O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listingFd < 0 ? nullptr : ::fdopendir(listingFd);
    if (!dir) {
        if (listingFd >= 0)
            ::close(listingFd);
        return p;
    }
    auto entries = std::make_shared<FolderEntries>();
    while (const dirent *entry = ::readdir(dir)) {
        const char *n = entry->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
            continue;
        bool link = entry->d_type == DT_LNK;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat entrySt = {};
            link = ::fstatat(::dirfd(dir), n, &entrySt, AT_SYMLINK_NOFOLLOW) == 0 &&
                   S_ISLNK(entrySt.st_mode);
        }
        if (link)
            entries->links.insert(n);
        entries->names.append(n).push_back('\0');
    }
    ::closedir(dir);
    p.entries = entries;
    if (known)
        listings().keep(st, listedAt, std::move(entries));
    return p;
}

bool FolderPlaces::isLink(const OptionNode *node)
{
    if (!node->Parent)
        return place(node).link;
    // A folder opened already knows; the others are looked up in their parent's one listing,
    // which serves a whole group at the cost of one open per folder.
    const auto known = m_places.find(node);
    if (known != m_places.end())
        return known->second.link;
    const Place &parent = listed(node->Parent);
    // A folder that could not be listed tells nothing about its entries: each is resolved.
    return !parent.entries || (!parent.entries->links.empty() &&
                               parent.entries->links.count(NativeName(node).toStdString()) != 0);
}

bool FolderPlaces::Inside(const OptionNode *node)
{
    const auto known = m_places.find(node);
    if (known != m_places.end())
        return known->second.inside;
    if (isLink(node))
        return platform::isWithin(RealLocation(node), m_realRoot);
    return node->Parent ? place(node->Parent).inside : root().inside;
}

bool FolderPlaces::Placed(const OptionNode *node)
{
    const Place &parent = node->Parent ? place(node->Parent) : root();
    return parent.chain && parent.inside && !isLink(node);
}

PlacedFolder FolderPlaces::Placement(const OptionNode *node)
{
    // A folder whose name is not UTF-8 on disk is reached through an alias, not by its name.
    const QString folder = Folder(node);
    if (OptionFolderReach(folder) != folder || !Placed(node))
        return PlacedFolder();
    return PlacementBelowParent(node);
}

PlacedFolder FolderPlaces::PlacementBelowParent(const OptionNode *node)
{
    PlacedFolder placement;
    placement.Root = root().fd;
    std::vector<const OptionNode *> path;
    for (const OptionNode *n = node; n; n = n->Parent)
        path.push_back(n);
    for (auto n = path.rbegin(); n != path.rend(); ++n) {
        if (!placement.FromRoot.isEmpty())
            placement.FromRoot.append('/');
        placement.FromRoot.append(NativeName(*n));
    }
    return placement;
}

QString FolderPlaces::RealLocation(const OptionNode *node)
{
    const auto known = m_places.find(node);
    if (known != m_places.end())
        return known->second.real;
    if (isLink(node))
        return platform::realLocation(Folder(node));
    const QString &parent = node->Parent ? place(node->Parent).real : root().real;
    return parent.isEmpty() ? QString() : Below(parent, Name(node));
}

QByteArray FolderPlaces::NativeName(const OptionNode *node)
{
    return QFile::encodeName(Name(node));
}

QString FolderPlaces::Folder(const OptionNode *node)
{
    const auto known = m_places.find(node);
    if (known != m_places.end())
        return known->second.folder;
    const Place *parent = nullptr;
    if (!node->Parent) {
        parent = m_root ? &*m_root : nullptr;
    } else if (node->Parent == m_lastNode) {
        parent = m_last;
    } else {
        const auto p = m_places.find(node->Parent);
        parent = p == m_places.end() ? nullptr : &p->second;
    }
    if (parent)
        return parent->folder + Name(node) + u'/';
    return GetNodeDir(node, m_optionsRoot);
}

int FolderPlaces::Hold(const OptionNode *node)
{
    return place(node).fd;
}

int FolderPlaces::OpenFolder(const OptionNode *node) const
{
    if (node == m_lastNode)
        return m_last->fd;
    const auto known = m_places.find(node);
    return known == m_places.end() ? -1 : known->second.fd;
}

platform::IniFile::Look FolderPlaces::DescriptorHoldsMode(const OptionNode *node, int mode)
{
    using Look = platform::IniFile::Look;
    const std::string_view name = node->AsciiName();
    constexpr std::string_view File = "/options.ini";
    if (name.empty() || name.size() > NAME_MAX)
        return Look::Unreached;
    Place &parent = node->Parent ? place(node->Parent) : root();
    if (parent.fd < 0 || !parent.chain || !parent.inside)
        return Look::Unreached;
    // The look reads without opening for writing: a read-only file system is asked about once.
    if (parent.writableMount < 0) {
        struct statvfs vfs = {};
        parent.writableMount = ::fstatvfs(parent.fd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY) == 0;
    }
    if (parent.writableMount == 0)
        return Look::Unreached;
    char path[NAME_MAX + File.size() + 1];
    std::memcpy(path, name.data(), name.size());
    std::memcpy(path + name.size(), File.data(), File.size());
    path[name.size() + File.size()] = '\0';
    return platform::IniFile::holdsInteger(parent.fd, path, QStringLiteral("Mode"),
                                           QStringLiteral("OptionMode"), mode);
}

platform::IniFile FolderPlaces::ReadDescriptor(const OptionNode *node)
{
    using Intent = platform::IniFile::Intent;
    const QString folder = Folder(node);
    const QString reach = OptionFolderReach(folder);
    const int fd = reach == folder ? place(node).fd : -1;
    if (fd < 0) {
        platform::FolderNames names = Names(node, reach);
        return OpenOptionDescriptor(reach, Intent::Read, names);
    }
    platform::IniFile exact(folder + QStringLiteral("options.ini"), Intent::Read, fd,
                            "options.ini");
    if (exact.exists())
        return exact;
    const QString found = Names(node, reach).find(QStringLiteral("options.ini"));
    if (found.isEmpty() || found == QLatin1String("options.ini"))
        return exact;
    return platform::IniFile(folder + found, Intent::Read, fd, QFile::encodeName(found));
}

platform::FolderNames FolderPlaces::Names(const OptionNode *node, const QString &reach)
{
    // The listing is made by the folder's name as shown: a folder reached through an alias is
    // listed by the alias itself.
    if (!IsAscii(reach))
        return platform::FolderNames(reach);
    const Place &p = listed(node);
    return p.entries ? platform::FolderNames(reach, p.entries->names)
                     : platform::FolderNames(reach);
}

ResolvedOption::ResolvedOption(OptionNode *node, FolderPlaces &places,
                               const TProgramSettings &settings, Scripts scripts)
    : m_node(node), m_folder(places.Folder(node)), m_reach(OptionFolderReach(m_folder))
{
    // The folder is opened once, from its parent: what stands at its name is known from there.
    const int fd = places.Hold(node);
    m_inside = places.Inside(node);
    if (m_inside)
        m_placement = places.Placement(node);
    // The real location names the folder as the disk does: an alias is worked out on its own.
    if (m_reach == m_folder)
        m_real = places.RealLocation(node);

    // The folder's own listing is made only when a name is missing in its exact spelling.
    platform::FolderNames names(m_reach);
    // A placed folder is opened once, from its parent, and its descriptor and scripts are read
    // from there.
    const int held = fd >= 0 && Placed() && m_reach == m_folder ? fd : -1;
    if (held >= 0) {
        platform::IniFile exact(m_folder + QStringLiteral("options.ini"),
                                platform::IniFile::Intent::Update, held, "options.ini");
        if (exact.exists())
            m_file.emplace(std::move(exact));
    }
    if (!m_file)
        m_file.emplace(OpenOptionDescriptor(m_reach, platform::IniFile::Intent::Update, names));
    // Each script name is looked at once where it can be: a plain name in a placed folder is one
    // look from the held folder, which answers both the no-script rule and where it leads.
    const auto exists = [&](const QString &name) {
        const Found &found = look(held, name);
        return found.Known ? found.Script.Place == platform::ScriptPlace::Inside
                           : OptionScriptExists(m_reach, name, names);
    };
    bool checked = false;
    m_descriptor = ReadOptionDescriptor(*m_file, settings, [&](const QString &name) {
        checked = true;
        const bool found = exists(name);
        m_hasScript = m_hasScript || found;
        return found;
    });
    if (scripts == Scripts::Locate) {
        m_runMe = locate(held, m_descriptor.OptionRunMeFName);
        m_runMe2 = locate(held, m_descriptor.OptionRunMe2FName);
    }
    if (!checked)
        m_hasScript =
            exists(m_descriptor.OptionRunMeFName) || exists(m_descriptor.OptionRunMe2FName);
}

const ResolvedOption::Found &ResolvedOption::look(int folder, const QString &name)
{
    for (const Found &found : m_found) {
        if (found.Script.Name == name)
            return found;
    }
    Found found;
    found.Script.Name = name;
    // A plain name, exactly as on disk: one look from the folder, never through a link.
    bool plain =
        folder >= 0 && !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..");
    for (const QChar c : name)
        plain = plain && c.unicode() < 0x80 && c != u'/' && c != u'\\' && c != u'\0';
    struct stat st = {};
    if (plain &&
        ::fstatat(folder, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISLNK(st.st_mode)) {
        found.Known = true;
        if (S_ISREG(st.st_mode)) {
            found.Script.Place = platform::ScriptPlace::Inside;
            found.Script.File = m_folder + name;
        }
    }
    m_found.push_back(std::move(found));
    return m_found.back();
}

ResolvedOption::Script ResolvedOption::locate(int folder, const QString &name)
{
    const Found &found = look(folder, name);
    if (found.Known)
        return found.Script;
    Script script;
    script.Name = name;
    script.Place = platform::locateScript(m_folder, m_folder, name, &script.File, m_real);
    if (script.Place != platform::ScriptPlace::Inside)
        script.File.clear();
    return script;
}

TCurrentOption ResolvedOption::DescriptorWithMode(int mode) const
{
    TCurrentOption o = m_descriptor;
    o.OptionMode = mode != 0 && mode < 6 && !m_hasScript ? 1 : mode;
    return o;
}

QStringList ResolvedOption::ScriptNames() const
{
    QStringList names;
    for (const Script *script : {&m_runMe, &m_runMe2}) {
        if (script->Place == platform::ScriptPlace::Inside)
            names.append(script->Name);
    }
    return names;
}

platform::IniFile ResolvedOption::TakeDescriptorFile()
{
    platform::IniFile file = std::move(*m_file);
    m_file.reset();
    return file;
}
