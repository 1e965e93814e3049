#pragma once

#include <QString>

#include <string>

namespace platform {

/// The entry names of one folder, listed once on first use, for looking names up as Windows
/// would find them when their exact spelling is missing. Lists with a single pass over the
/// folder (no per-entry file information), so a caller that misses several names in a large
/// folder pays for one listing, not one per name.
class FolderNames final
{
public:
    /// @p folder ends in '/'.
    explicit FolderNames(QString folder) : m_folder(std::move(folder)) {}
    /// The same from a listing the caller already made: @p listed holds the entry names (no "."
    /// or ".."), each followed by a NUL.
    FolderNames(QString folder, std::string listed)
        : m_folder(std::move(folder)), m_listed(true), m_names(std::move(listed))
    {
    }

    /// The entry whose name equals @p name without regard to case (the first in name order when
    /// several do); an empty string when none does or the folder cannot be listed.
    QString find(const QString &name);

private:
    QString m_folder;
    bool m_listed = false;
    // The names as listed, each followed by a NUL: a folder of thousands of options is listed
    // on every tick, and only names of the wanted length are ever decoded.
    std::string m_names;
};

} // namespace platform
