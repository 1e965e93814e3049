#pragma once

// A program folder on disk for the theme tests: option folders with real scripts that record
// how they were started, a themes folder, and the settings record pointing at them.

#include "common/TestFiles.h"
#include "core/Common.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace testfiles {

/// One started script as it recorded itself.
struct ScriptRun
{
    QString folder; // the option folder below Options, as "Group/Option"
    QString args;
    QString dir;   // the working folder, links resolved
    qint64 ns = 0; // start time, nanoseconds of the real-time clock
};

class ThemeFixture
{
public:
    ThemeFixture()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_program = m_dir->path() + S("/pack/");
        QDir().mkpath(options());
        QDir().mkpath(themes());
        m_log = m_program + S(".test-log.txt"); // the scripts write only inside the pack
        ProgramSettings = TProgramSettings();
        ProgramSettings.ProgramDir = m_program;
        ProgramSettings.OptionsDir = S("Options");
        ProgramSettings.ThemesDir = S("Themes");
        ProgramSettings.ThemeName = S("(Default)");
        ProgramSettings.DefaultReadMeTxtFName = S("ReadMe.txt");
        ProgramSettings.DefaultRunMeFName = S("RunMe.bat");
        ProgramSettings.DefaultRunMe2FName = S("RunMe2.bat");
        ProgramSettings.DefaultProgramDelay = 2000;
        // No terminal emulator: scripts shown "normally" run like hidden ones.
        m_path = qgetenv("PATH");
        const QString bin = m_dir->path() + S("/bin");
        QDir().mkpath(bin);
        testfiles::addSandbox(bin);
        qputenv("PATH", QFile::encodeName(bin));
    }

    ~ThemeFixture() { qputenv("PATH", m_path); }

    QString root() const { return m_dir->path() + QLatin1Char('/'); }
    QString program() const { return m_program; }
    QString options() const { return m_program + S("Options/"); }
    QString themes() const { return m_program + S("Themes/"); }
    QString log() const { return m_log; }

    /// A script that appends "folder|arguments|working folder|start time" to the log.
    QByteArray script(const QString &tag) const
    {
        return "#!/bin/sh\nPATH=/usr/bin:/bin\nprintf '%s|%s|%s|%s\\n' '" + tag.toUtf8() +
               "' \"$*\" \"$(pwd -P)\" \"$(date +%s%N)\" >> '" + m_log.toUtf8() + "'\n";
    }

    /// An option folder below Options. @p traits: "mode[,selected][,noscript][,delay=N]
    /// [,runme=Name][,noini]".
    void option(const QString &rel, const QString &traits) const
    {
        const QString folder = options() + rel + QLatin1Char('/');
        QDir().mkpath(folder);
        QByteArray mode = "2";
        int delay = 100;
        QByteArray runme = "RunMe.sh";
        bool script = true;
        bool ini = true;
        for (const QString &part : traits.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            if (part == S("selected"))
                QVERIFY(writeAll(folder + S("Selected.ini"), "[Mode]\nSelected=1\n"));
            else if (part == S("noscript"))
                script = false;
            else if (part == S("noini"))
                ini = false;
            else if (part.startsWith(S("delay=")))
                delay = part.mid(6).toInt();
            else if (part.startsWith(S("runme=")))
                runme = part.mid(6).toUtf8();
            else
                mode = part.toUtf8();
        }
        if (script && !runme.isEmpty())
            QVERIFY(writeAll(folder + QString::fromUtf8(runme), this->script(rel)));
        if (ini)
            QVERIFY(writeAll(folder + S("options.ini"),
                             "[RunMe]\nOptionRunMeFName=" + runme + "\nOptionRunMe2FName=\n" +
                                 "[ProgramDelay]\nOptionProgramDelay=" + QByteArray::number(delay) +
                                 "\n[Mode]\nOptionMode=" + mode + "\n"));
    }

    /// "path traits" per option, as option() takes them.
    void layout(const QStringList &entries) const
    {
        for (const QString &entry : entries) {
            const int space = entry.lastIndexOf(QLatin1Char(' '));
            option(entry.left(space), entry.mid(space + 1));
        }
    }

    /// A theme file written as given.
    void theme(const QString &name, const QByteArray &content) const
    {
        QVERIFY(writeAll(themes() + name + S(".ini"), content));
    }

    /// A theme with one entry per stored path, each with @p delay.
    static QByteArray themeText(const QStringList &paths, int delay = 20)
    {
        QByteArray text;
        for (int i = 0; i < paths.size(); ++i)
            text += "[Option" + QByteArray::number(i) + "]\nDelay=" + QByteArray::number(delay) +
                    "\nRunMeFName=" + paths[i].toUtf8() + "\n";
        return text;
    }

    int mode(const QString &rel) const
    {
        QFile f(options() + rel + S("/options.ini"));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = f.readAll();
        const int at = text.indexOf("OptionMode=");
        return at < 0 ? -1 : text.mid(at + 11).split('\n').first().trimmed().toInt();
    }

    bool selected(const QString &rel) const
    {
        return QFileInfo::exists(options() + rel + S("/Selected.ini"));
    }

    QList<ScriptRun> runs() const
    {
        QList<ScriptRun> result;
        for (const QByteArray &line : readAll(m_log).split('\n')) {
            const QList<QByteArray> f = line.split('|');
            if (f.size() == 4)
                result.append({QString::fromUtf8(f[0]), QString::fromUtf8(f[1]),
                               QString::fromUtf8(f[2]), f[3].toLongLong()});
        }
        return result;
    }

    QStringList ranFolders() const
    {
        QStringList folders;
        for (const ScriptRun &r : runs())
            folders.append(r.folder);
        return folders;
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_program;
    QString m_log;
    QByteArray m_path;
};

} // namespace testfiles
