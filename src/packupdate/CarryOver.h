#pragma once

#include <QString>
#include <QStringList>

namespace packupdate {

/// What the carry-over took from the old pack into the new one.
struct CarryOverResult
{
    int modes = 0;  // options whose OptionMode was set to the player's choice
    int marks = 0;  // Selected.ini markers added or removed
    int keys = 0;   // settings keys taken over
    int themes = 0; // the player's own theme files copied
    /// Options the player had selected (or marked) that the new version no longer has, as
    /// paths below the options folder.
    QStringList missing;
};

/// The keys of the settings file that are the player's own and survive an update: the
/// settings toggles, the window sizes, the active theme and a pinned Wine. Pairs of section
/// and key. Everything else, [VersionInfo] and its addresses above all, comes from the new
/// version.
const QList<QPair<QString, QString>> &PlayerSettingsKeys();

/// Carries the player's state from the pack in @p oldPack over to the unpacked new version in
/// @p newPack (both ending in '/'), whose settings file is named @p iniName in each:
/// - each option's selection, matched by its path below the options folder: an option that is
///   selectable in both versions is selected in the new one exactly when it was in the old one
///   (the new version's kind of choice, 2/3 or 4/5, is kept);
/// - the Selected.ini markers of the options that still exist;
/// - PlayerSettingsKeys() present in the old settings file;
/// - theme files of the old themes folder that the new version does not ship.
/// Only @p newPack is written. Throws AppError when a file of it cannot be written.
CarryOverResult CarryOver(const QString &oldPack, const QString &newPack, const QString &iniName);

} // namespace packupdate
