#pragma once

#include "core/Common.h"

#include <QString>
#include <QUrl>

#include <vector>

namespace update {

/// The text the settings and the published file use for a value nobody gave.
inline QString undefValue()
{
    return QStringLiteral("Undef");
}

/// Colours of the update window's labels.
enum class LabelColour { WindowText, Blue, DarkGreen, Red };

/// True when @p path is a version file: an INI file with a [VersionInfo] section (names match
/// without regard to case). An error page or a login page served in its place has none.
bool IsVersionInfoFile(const QString &path);
/// IsVersionInfoFile as a download's check: empty when it is one, else the reason it is not.
QString VersionInfoFileRefusal(const QString &path);

/// Reads the eight keys of [VersionInfo] from the downloaded version file at @p path, each with
/// the default "Undef", into the published values and, in place, into the addresses and the
/// Weblink caption of @p settings.
void LoadNewVersionInfoIniFile(const QString &path, TProgramSettings &settings);

/// One published value that differs from the installed one.
struct VersionDifference
{
    enum Kind { UserInterface, Program, Betas, AddOns };
    Kind kind;
    QString message; // the line the window shows
    QString published;
};

/// The four comparisons, in their fixed order: whole strings, byte for byte ("2" and "02"
/// differ, and so do "1.3a" and "1.3A").
std::vector<VersionDifference> CompareVersionInfo(const TProgramSettings &settings);

/// The notes page @p page with @p address as its base (a <base> element put before anything
/// else but a leading byte-order mark, comments and the document type), so that its relative
/// links and images resolve against the address it was downloaded from.
QByteArray NotesWithBase(const QByteArray &page, const QUrl &address);

/// The Continue button's text on countdown tick @p ticks of @p delay: the remaining whole
/// seconds, the division truncating toward zero.
QString CountdownCaption(int delay, int ticks);

} // namespace update
