#pragma once

#include <QString>

struct TProgramSettings;

/// The per-user themes folder: the per-user configuration folder, '/', and ThemesAppDataDir.
QString GetAppDataThemePath(const TProgramSettings &settings);

/// The first-run copy: every file of ProgramDir + ThemesDir is copied into @p destination
/// (created with its parents, also when there is nothing to copy), replacing files of the same
/// name. Sub-folders are not copied; failures are ignored.
void CopyDefaultThemes(const TProgramSettings &settings, const QString &destination);
