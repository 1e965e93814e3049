#pragma once

#include "files/ScriptPlace.h"
#include "ini/IniFile.h"
#include "options/OptionIni.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct OptionNode;
struct TProgramSettings;
namespace platform {
class FolderNames;
}

/// The entries of one folder as a listing found them.
struct FolderEntries
{
    std::unordered_set<std::string> links; // names of entries that are symbolic links
    std::string names;                     // every entry name, each followed by a NUL
};

/// Where the folders of one tick, group clear or theme step lie, worked out once for it. The
/// options folder is opened once, and each folder below it is opened from its parent's open
/// folder without following a link at its name: a folder opened so lies where its parent does,
/// and its real location is its parent's plus its name; only a folder that is a link is
/// resolved on its own. Folders are held open for the run (within a bound), so descriptors are
/// read and written from them with no link on the way. A folder is listed only when a name in
/// it must be looked up without regard to case, or when many of its entries are asked about.
/// Folders reached through a link that leads out of the options folder are shown, but never
/// written to. A large folder's listing is kept for later runs while the folder's change time
/// says it is unchanged.
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
    /// Whether @p node's folder lies inside the options folder, reached from it with no link at
    /// any name on the way: its real location is its parent's plus its name.
    bool Placed(const OptionNode *node);
    /// Where a placed folder lies for the writes of this run (PendingModeWrite); unset for a
    /// folder that is not placed.
    PlacedFolder Placement(const OptionNode *node);
    /// The same for a leaf whose descriptor DescriptorHoldsMode() reached (so placed it).
    PlacedFolder PlacementBelowParent(const OptionNode *node);
    /// The real location of @p node's folder; empty when it cannot be known.
    QString RealLocation(const OptionNode *node);
    /// The names in @p node's own folder, from this run's one listing of it (made when first
    /// needed). @p reach is the folder as reached on disk.
    platform::FolderNames Names(const OptionNode *node, const QString &reach);
    /// @p node's descriptor for reading, found as on disk: opened from its held folder, and only
    /// when its exact name is missing looked up in the folder's one listing.
    platform::IniFile ReadDescriptor(const OptionNode *node);
    /// @p node's folder (ending in '/'), built on its parent's when that was opened.
    QString Folder(const OptionNode *node);
    /// Opens @p node's own folder for this run (its place is then known without its parent's
    /// listing) and gives it; -1 when it could not be opened or held.
    int Hold(const OptionNode *node);
    /// @p node's folder as this run holds it open; -1 when it does not.
    int OpenFolder(const OptionNode *node) const;
    /// For a leaf right below a folder this run holds open inside the options folder: whether
    /// its descriptor, reached from there with no link on the way, already reads @p mode as its
    /// OptionMode and may be written, so that storing the mode would change nothing (Holds).
    /// Reached says the descriptor was reached so, which places the leaf's folder inside the
    /// options folder with no link at its name; Unreached tells nothing.
    platform::IniFile::Look DescriptorHoldsMode(const OptionNode *node, int mode);
    /// The name of @p node's folder in its parent's folder, as the disk spells it.
    static QByteArray NativeName(const OptionNode *node);

private:
    struct Place
    {
        bool inside = false;
        bool link = false;              // a symbolic link stands at the folder's name
        QString real;                   // the folder's real location
        QString folder;                 // the folder as shown, ending in '/'
        int fd = -1;                    // the folder, held open for the run
        bool chain = false;             // reached from the options folder with no link on the way
        signed char writableMount = -1; // its file system may be written (-1: not asked yet)
        std::shared_ptr<const FolderEntries> entries; // once listed
    };

    Place &place(const OptionNode *folderNode);
    Place &root();
    const Place &listed(const OptionNode *folderNode);
    bool isLink(const OptionNode *node);
    int keep(int fd);

    QString m_optionsRoot;
    QString m_realRoot;
    std::unordered_map<const OptionNode *, Place> m_places;
    std::optional<Place> m_root;
    const OptionNode *m_lastNode = nullptr; // the place asked for last
    Place *m_last = nullptr;
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
    /// Inside, reached with no link on the way (FolderPlaces::Placed()).
    bool Placed() const { return m_placement.Root >= 0; }
    /// Where the folder lies for the staged write of its mode (FolderPlaces::Placement()).
    const PlacedFolder &Placement() const { return m_placement; }

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
    // What one look at a script name found: Known when it answered for good (a plain name that
    // names a regular file, or something else that is no link, in the held folder).
    struct Found
    {
        bool Known = false;
        ResolvedOption::Script Script;
    };

    const Found &look(int folder, const QString &name);
    Script locate(int folder, const QString &name);

    OptionNode *m_node;
    QString m_folder;
    QString m_reach;
    QString m_real;
    bool m_inside = false;
    PlacedFolder m_placement;
    bool m_hasScript = false; // a script name of the descriptor names a file of the folder
    TCurrentOption m_descriptor;
    std::optional<platform::IniFile> m_file;
    Script m_runMe;
    Script m_runMe2;
    std::vector<Found> m_found; // the script names looked at, each once
};
