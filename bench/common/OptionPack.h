#pragma once

// The option pack the scan and start-up benchmarks read: about 20,000 folders nested four
// levels deep (top-level folders, groups, options, and the choices of each option), groups of
// 5 to 30, CRLF descriptors, scripts and ReadMe files beside them.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

namespace benchpack {

constexpr int TopLevel = 8;
constexpr int GroupsPerTop = 11;

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

inline QByteArray optionIni(int mode, bool linked)
{
    return "[ReadMe]\r\nOptionReadMeTxtFName=ReadMe.txt\r\nOptionReadMeHtmlFName=\r\n"
           "[RunMe]\r\nOptionRunMeFName=RunMe.bat\r\nOptionRunMe2FName=RunMe2.bat\r\n"
           "[ProgramDelay]\r\nOptionProgramDelay=2000\r\n"
           "[Mode]\r\nOptionMode=" +
           QByteArray::number(mode) +
           "\r\n[LinkChildren]\r\nOptionLinkChildren=" + QByteArray(linked ? "1" : "0") + "\r\n";
}

// A group size between 5 and 30, varying from group to group.
inline int groupSize(int seed)
{
    return 5 + (seed * 7919 + 13) % 26;
}

// Writes the pack below @p root (ending in '/'); @p folders receives the number of folders.
inline bool generate(const QString &root, int *folders)
{
    *folders = 0;
    const QByteArray script = "@echo off\r\ncopy /y *.xml ..\\..\\..\\..\\ui\\custom\\ >nul\r\n";
    const QByteArray readMe = "What this option changes, in a few lines of text.\r\n";
    auto option = [&](const QString &folder, int mode, int n) {
        if (!QDir().mkpath(folder) ||
            !writeFile(folder + QStringLiteral("options.ini"), optionIni(mode, false)) ||
            !writeFile(folder + QStringLiteral("RunMe.bat"), script))
            return false;
        if (n % 5 == 0 && !writeFile(folder + QStringLiteral("RunMe2.bat"), script))
            return false;
        if (n % 3 == 0 && !writeFile(folder + QStringLiteral("ReadMe.txt"), readMe))
            return false;
        ++*folders;
        return true;
    };
    int seed = 0;
    for (int t = 0; t < TopLevel; ++t) {
        const QString top = root + QStringLiteral("Top %1/").arg(t, 2, 10, QLatin1Char('0'));
        if (!QDir().mkpath(top) ||
            !writeFile(top + QStringLiteral("options.ini"), optionIni(7, false)))
            return false;
        ++*folders;
        for (int g = 0; g < GroupsPerTop; ++g) {
            const QString group = top + QStringLiteral("Group %1/").arg(g, 2, 10, QLatin1Char('0'));
            if (!QDir().mkpath(group) ||
                !writeFile(group + QStringLiteral("options.ini"), optionIni(7, g % 4 == 0)))
                return false;
            ++*folders;
            const int options = groupSize(++seed);
            for (int o = 0; o < options; ++o) {
                const QString opt =
                    group + QStringLiteral("Option %1/").arg(o, 2, 10, QLatin1Char('0'));
                if (!option(opt, o == 0 ? 3 : 2, o))
                    return false;
                const int choices = groupSize(++seed) - 5;
                for (int c = 0; c < choices; ++c) {
                    if (!option(opt + QStringLiteral("Choice %1/").arg(c, 2, 10, QLatin1Char('0')),
                                c == 0 ? 5 : 4, c))
                        return false;
                }
            }
        }
    }
    return true;
}

} // namespace benchpack
