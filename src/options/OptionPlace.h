#pragma once

#include "files/ScriptPlace.h"
#include "ini/IniFile.h"
#include "options/OptionIni.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

struct OptionNode;
struct TProgramSettings;
namespace platform {
class FolderNames;
}

/// Where the folders of one tick, group clear or theme step lie, worked out once for it. The
/// options folder's real location is resolved once; a folder's real place is its parent's plus
/// its name unless it is itself a symbolic link, so each parent is resolved and listed once
/// (the listing tells which entries are links, and serves every look-up of a name in it), and
/// a folder costs nothing more unless it is a link. Folders reached through a link that leads
/// out of the options folder are shown, but never written to.
class FolderPlaces
{
public:
    /// @p optionsRoot ends in '/'.
    explicit FolderPlaces(const QString &optionsRoot);
    ~FolderPlaces();
    FolderPlaces(const FolderPlaces &) = delete;
    FolderPlaces &operator=(const FolderPlaces &) = delete;

    const QString &OptionsRoot() const { return m_optionsRoot; }
    const QString &RealRoot() const { return m_realRoot; }

    /// Whether @p node's folder really lies inside the options folder.
    bool Inside(const OptionNode *node);
    /// Whether @p node's folder lies inside the options folder with no link at its own name, as
    /// its parent's listing found it: its real location is its parent's plus its name.
    bool Placed(const OptionNode *node);
    /// The real location of @p node's folder; empty when it cannot be known.
    QString RealLocation(const OptionNode *node);
    /// The names in @p node's own folder, from this run's one listing of it (made when first
    /// needed). @p reach is the folder as reached on disk.
    platform::FolderNames Names(const OptionNode *node, const QString &reach);
    /// @p node's folder (ending in '/'), built on its parent's when that was listed.
    QString Folder(const OptionNode *node);
    /// @p node's folder as this run holds it open since it was listed; -1 when it was not.
    int OpenFolder(const OptionNode *node) const;
    /// The name of @p node's folder in its parent's folder, as the disk spells it.
    static QByteArray NativeName(const OptionNode *node);

private:
    struct Listing
    {
        bool inside = false;
        bool listed = false;
        QString real;                          // the folder's real location
        std::unordered_set<std::string> links; // names of entries that are symbolic links
        std::string names;                     // every entry name, each followed by a NUL
        QString folder;                        // the folder as shown, ending in '/'
        int fd = -1;                           // the folder, held open since it was listed
    };

    const Listing &listing(const OptionNode *folderNode);
    bool isLink(const OptionNode *node);

    QString m_optionsRoot;
    QString m_realRoot;
    std::unordered_map<const OptionNode *, Listing> m_listings;
    const OptionNode *m_lastNode = nullptr; // the listing asked for last
    const Listing *m_last = nullptr;
    int m_held = 0; // folders held open
};

/// One option folder as a tick, a theme's step or a group clear finds it, resolved once when it
/// starts and passed down from there: its path as shown, as reached on disk and its real
/// location, whether it lies inside the options folder, its descriptor as read once (the file
/// kept for the staged write of its mode), and, when asked for, its scripts as the files they
/// name (or their absence, or a place outside the folder).
class ResolvedOption
{
public:
    /// A script name of the descriptor and where it leads.
    struct Script
    {
        QString Name;
        platform::ScriptPlace Place = platform::ScriptPlace::Missing;
        QString File; // the file to start when Place is Inside
    };

    enum class Scripts { Skip, Locate };

    /// Reads @p node's folder with @p places, its descriptor with @p settings' defaults.
    ResolvedOption(OptionNode *node, FolderPlaces &places, const TProgramSettings &settings,
                   Scripts scripts = Scripts::Skip);

    OptionNode *Node() const { return m_node; }
    /// The folder as the user knows it (ends in '/').
    const QString &Folder() const { return m_folder; }
    /// The folder as it is reached on disk (ends in '/').
    const QString &Reach() const { return m_reach; }
    const QString &Real() const { return m_real; }
    bool Inside() const { return m_inside; }
    /// Inside, with no link at its own name (FolderPlaces::Placed()).
    bool Placed() const { return m_placed; }

    /// The descriptor as read, no-script rule applied.
    const TCurrentOption &Descriptor() const { return m_descriptor; }
    /// The descriptor as a fresh read would give it once OptionMode holds @p mode.
    TCurrentOption DescriptorWithMode(int mode) const;

    const Script &RunMe() const { return m_runMe; }
    const Script &RunMe2() const { return m_runMe2; }
    /// The files of both scripts, an empty entry for one that starts nothing.
    QStringList ScriptFiles() const { return {m_runMe.File, m_runMe2.File}; }
    /// The names of the scripts that start, first one first.
    QStringList ScriptNames() const;

    /// Whether the descriptor file as read is still held for the staged write.
    bool HoldsDescriptorFile() const { return m_file.has_value(); }
    /// The descriptor file as read, for the staged write; the value holds it no longer.
    platform::IniFile TakeDescriptorFile();

private:
    Script locate(const QString &name) const;

    OptionNode *m_node;
    QString m_folder;
    QString m_reach;
    QString m_real;
    bool m_inside = false;
    bool m_placed = false;
    bool m_hasScript = false; // a script name of the descriptor names a file of the folder
    TCurrentOption m_descriptor;
    std::optional<platform::IniFile> m_file;
    Script m_runMe;
    Script m_runMe2;
};
