// How long reading a theme file for applying it takes, for an ordinary theme and for two hostile
// ones of the same size, next to the least any program must do: reading the file's bytes.
//
// Each file is just under the INI layer's 16 MiB limit:
//   ordinary:  sections Option0, Option1, ... each with Delay and RunMeFName (about 290,000);
//   headers:   nothing but "[a]" lines (over four million section headers, no entries);
//   repeated:  every section is [Option0], so the entries 1 .. 999 the reader looks for are
//              missing from a file of hundreds of thousands of sections.
// The program's figure is ReadTheme() (open, parse, the look-ups of at most 1,000 entries); the
// baseline is open/read/close of the same file. Each figure is the minimum and the median of
// the runs.
//
// Usage: bench_themeread [folder for the generated files]
#include "common/Figures.h"
#include "core/Common.h"
#include "ini/IniFile.h"
#include "themes/ThemeApply.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int Runs = 5;
constexpr qint64 Size = platform::IniFile::MaxFileSize - 4096;

QByteArray fill(const std::function<QByteArray(int)> &unit)
{
    QByteArray text;
    text.reserve(Size);
    for (int i = 0;; ++i) {
        const QByteArray next = unit(i);
        if (text.size() + next.size() > Size)
            return text;
        text += next;
    }
}

double rawRead(const QByteArray &path)
{
    QElapsedTimer clock;
    clock.start();
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buffer(static_cast<size_t>(Size) + 8192);
    size_t got = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data() + got, buffer.size() - got)) > 0;)
        got += static_cast<size_t>(n);
    ::close(fd);
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir temp;
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temp.path();
    ProgramSettings.ProgramDir = base + QStringLiteral("/");
    ProgramSettings.ThemesDir = QStringLiteral("Themes");
    ProgramSettings.DefaultProgramDelay = 2000;
    const QString themes = base + QStringLiteral("/Themes/");
    QDir().mkpath(themes);

    struct Case
    {
        const char *name;
        QByteArray text;
    };
    const std::vector<Case> cases{
        {"ordinary", fill([](int i) {
             return "[Option" + QByteArray::number(i) +
                    "]\r\nDelay=2000\r\nRunMeFName=.\\Options\\Top\\Group\\Option\\RunMe.bat\r\n";
         })},
        {"headers", fill([](int) { return QByteArray("[a]\n"); })},
        {"repeated", fill([](int) {
             return QByteArray("[Option0]\r\nDelay=2000\r\nRunMeFName=.\\Options\\A\\RunMe.bat\r\n");
         })},
    };

    std::printf("Reading a theme file of %.1f MiB (ReadTheme, against open/read/close)\n",
                static_cast<double>(Size) / (1024 * 1024));
    for (const Case &c : cases) {
        const QString path = themes + QString::fromLatin1(c.name) + QStringLiteral(".ini");
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(c.text) != c.text.size())
            return 1;
        out.close();
        Figures program;
        Figures floor;
        int entries = 0;
        for (int run = 0; run < Runs; ++run) {
            floor.ms.push_back(rawRead(QFile::encodeName(path)));
            QElapsedTimer clock;
            clock.start();
            const ThemeContent theme = ReadTheme(ProgramSettings, QString::fromLatin1(c.name));
            program.ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
            entries = static_cast<int>(theme.Entries.size());
        }
        std::printf("%-9s %5d entries  min %8.1f ms  median %8.1f ms | baseline min %6.1f ms  "
                    "median %6.1f ms | ratio %.1f\n",
                    c.name, entries, program.min(), program.median(), floor.min(), floor.median(),
                    program.median() / floor.median());
    }
    return 0;
}
