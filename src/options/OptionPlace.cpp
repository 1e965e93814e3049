#include "options/OptionPlace.h"

#include "core/Common.h"
#include "files/Confine.h"
#include "files/FolderNames.h"
#include "options/OptionNode.h"

#include <QFile>
#include <QStringBuilder>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
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
    for (const auto &known : m_listings) {
        if (known.second.fd >= 0)
            ::close(known.second.fd);
    }
}

const FolderPlaces::Listing &FolderPlaces::listing(const OptionNode *folderNode)
{
    // A group's leaves ask for the same parent one after the other.
    if (folderNode == m_lastNode)
        return *m_last;
    auto known = m_listings.find(folderNode);
    if (known != m_listings.end()) {
        m_lastNode = folderNode;
        m_last = &known->second;
        return known->second;
    }
    Listing l;
    const QString folder = Folder(folderNode);
    l.folder = folder;
    if (folderNode->Parent && !isLink(folderNode)) {
        const Listing &parent = listing(folderNode->Parent);
        l.inside = parent.inside;
        if (!parent.real.isEmpty())
            l.real = Below(parent.real, Name(folderNode));
    } else {
        l.real = platform::realLocation(folder);
        l.inside = platform::isWithin(l.real, m_realRoot);
    }
    const QByteArray native = QFile::encodeName(folder);
    // Held open for the descriptors read in it, within a bound on the files one run keeps open.
    constexpr int MaxHeld = 64;
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool hold = fd >= 0 && m_held < MaxHeld;
    const int listingFd = hold ? ::dup(fd) : fd;
    DIR *dir = listingFd < 0 ? nullptr : ::fdopendir(listingFd);
    if (!dir) {
        if (listingFd >= 0)
            ::close(listingFd);
        if (hold)
            ::close(fd);
    }
    if (dir) {
        l.listed = true;
        if (hold) {
            l.fd = fd;
            ++m_held;
        }
        while (const dirent *entry = ::readdir(dir)) {
            const char *n = entry->d_name;
            if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
                continue;
            bool link = entry->d_type == DT_LNK;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st = {};
                link = ::fstatat(::dirfd(dir), n, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISLNK(st.st_mode);
            }
            if (link)
                l.links.insert(n);
            l.names.append(n).push_back('\0');
        }
        ::closedir(dir);
    }
    m_last = &m_listings.emplace(folderNode, std::move(l)).first->second;
    m_lastNode = folderNode;
    return *m_last;
}

bool FolderPlaces::isLink(const OptionNode *node)
{
    if (!node->Parent)
        return true;
    // A folder that could not be listed tells nothing about its entries: each is resolved.
    const Listing &parent = listing(node->Parent);
    return !parent.listed ||
           (!parent.links.empty() && parent.links.count(NativeName(node).toStdString()) != 0);
}

bool FolderPlaces::Inside(const OptionNode *node)
{
    if (isLink(node))
        return platform::isWithin(RealLocation(node), m_realRoot);
    return listing(node->Parent).inside;
}

bool FolderPlaces::Placed(const OptionNode *node)
{
    return !isLink(node) && listing(node->Parent).inside;
}

QString FolderPlaces::RealLocation(const OptionNode *node)
{
    if (!node->Parent || isLink(node))
        return platform::realLocation(GetNodeDir(node, m_optionsRoot));
    const QString &parent = listing(node->Parent).real;
    return parent.isEmpty() ? QString() : Below(parent, Name(node));
}

QByteArray FolderPlaces::NativeName(const OptionNode *node)
{
    return QFile::encodeName(Name(node));
}

QString FolderPlaces::Folder(const OptionNode *node)
{
    if (node->Parent) {
        const Listing *parent = nullptr;
        if (node->Parent == m_lastNode) {
            parent = m_last;
        } else {
            const auto known = m_listings.find(node->Parent);
            parent = known == m_listings.end() ? nullptr : &known->second;
        }
        if (parent)
            return parent->folder + Name(node) + u'/';
    }
    return GetNodeDir(node, m_optionsRoot);
}

int FolderPlaces::OpenFolder(const OptionNode *node) const
{
    if (node == m_lastNode)
        return m_last->fd;
    const auto known = m_listings.find(node);
    return known == m_listings.end() ? -1 : known->second.fd;
}

platform::FolderNames FolderPlaces::Names(const OptionNode *node, const QString &reach)
{
    // The listing is made by the folder's name as shown: a folder reached through an alias is
    // listed by the alias itself.
    if (!IsAscii(reach))
        return platform::FolderNames(reach);
    return platform::FolderNames(reach, listing(node).names);
}

ResolvedOption::ResolvedOption(OptionNode *node, FolderPlaces &places,
                               const TProgramSettings &settings, Scripts scripts)
    : m_node(node), m_folder(places.Folder(node)), m_reach(OptionFolderReach(m_folder))
{
    m_inside = places.Inside(node);
    m_placed = m_inside && places.Placed(node);
    // The real location names the folder as the disk does: an alias is worked out on its own.
    if (m_reach == m_folder)
        m_real = places.RealLocation(node);

    // The folder's own listing is made only when a name is missing in its exact spelling.
    platform::FolderNames names(m_reach);
    m_file.emplace(OpenOptionDescriptor(m_reach, platform::IniFile::Intent::Update, names));
    bool checked = false;
    m_descriptor = ReadOptionDescriptor(*m_file, settings, [&](const QString &name) {
        checked = true;
        const bool exists = OptionScriptExists(m_reach, name, names);
        m_hasScript = m_hasScript || exists;
        return exists;
    });
    if (!checked)
        m_hasScript = OptionScriptExists(m_reach, m_descriptor.OptionRunMeFName, names) ||
                      OptionScriptExists(m_reach, m_descriptor.OptionRunMe2FName, names);

    if (scripts == Scripts::Locate) {
        m_runMe = locate(m_descriptor.OptionRunMeFName);
        m_runMe2 = locate(m_descriptor.OptionRunMe2FName);
    }
}

ResolvedOption::Script ResolvedOption::locate(const QString &name) const
{
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
