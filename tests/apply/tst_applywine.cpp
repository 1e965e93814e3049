// Ticking an option whose scripts are Windows scripts: refused before anything is written when
// Wine is missing, and started in the game's prefix when it is there.

#include "apply/ApplyChanges.h"
#include "common/TestFiles.h"
#include "common/TestTree.h"
#include "core/Common.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "platform/Error.h"
#include "platform/IniFile.h"
#include "platform/ScriptLauncher.h"

#include <QDir>
#include <QDirIterator>
#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace testfiles;

class TestApplyWine : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root; // the temporary folder, canonical
    QByteArray m_path, m_winePrefix;

    QString at(const QString &rel) const { return m_root + QLatin1Char('/') + rel; }
    QString options() const { return at(S("Options/")); }

    // Appends "name|arguments|folder|WINEPREFIX" to the log.
    QByteArray recorder() const
    {
        return "#!/bin/sh\nPATH=/usr/bin:/bin\nprintf '%s|%s|%s|%s\\n' \"$(basename \"$0\")\" "
               "\"$*\" \"$(pwd -P)\" "
               "\"${WINEPREFIX-unset}\" >> '" +
               at(S("log")).toUtf8() + "'\n";
    }

    void option(const QString &rel, int mode, const QString &runMe, const QString &runMe2)
    {
        const QString folder = options() + rel + QLatin1Char('/');
        QVERIFY(writeAll(folder + S("options.ini"),
                         "[RunMe]\r\nOptionRunMeFName=" + runMe.toUtf8() +
                             "\r\nOptionRunMe2FName=" + runMe2.toUtf8() +
                             "\r\n[Mode]\r\nOptionMode=" + QByteArray::number(mode) + "\r\n"));
        for (const QString &script : {runMe, runMe2}) {
            if (!script.isEmpty())
                QVERIFY(writeAll(folder + script,
                                 script.endsWith(S(".sh")) ? recorder() : "@echo off\r\n"));
        }
    }

    QMap<QString, QByteArray> descriptors() const
    {
        QMap<QString, QByteArray> files;
        QDirIterator it(options(), {S("options.ini")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            files.insert(path, readAll(path));
        }
        return files;
    }

    QStringList logLines() const
    {
        QStringList lines = QString::fromUtf8(readAll(at(S("log")))).split(QLatin1Char('\n'));
        lines.removeAll(QString());
        return lines;
    }

    int modeOf(const QString &rel) const
    {
        return platform::IniFile::readInteger(options() + rel + S("/options.ini"), S("Mode"),
                                              S("OptionMode"), -1);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_root = QDir(m_dir->path()).canonicalPath();
        m_path = qgetenv("PATH");
        m_winePrefix = qgetenv("WINEPREFIX");
        ProgramSettings = TProgramSettings();
        ProgramSettings.ProgramDir = m_root + QLatin1Char('/');
        ProgramSettings.OptionsDir = S("Options");
        ProgramSettings.DefaultRunMeFName = S("RunMe.bat");
        ProgramSettings.DefaultRunMe2FName = S("RunMe2.bat");
        ProgramSettings.DefaultProgramDelay = 20;
    }

    void cleanup()
    {
        qputenv("PATH", m_path);
        if (m_winePrefix.isNull())
            qunsetenv("WINEPREFIX");
        else
            qputenv("WINEPREFIX", m_winePrefix);
        m_dir.reset();
    }

    void tick_data()
    {
        QTest::addColumn<QString>("runMe");
        QTest::addColumn<QString>("runMe2");
        QTest::addColumn<bool>("wine");            // a wine on the PATH
        QTest::addColumn<QStringList>("expected"); // what started; empty: the tick is refused

        const QString folder = S("|$T/Options/Pack/Group/A|");
        const QString prefix = S("$T/prefix");
        QTest::newRow("RunMe.bat without wine")
            << S("RunMe.bat") << S("RunMe2.sh") << false << QStringList();
        QTest::newRow("second script .CMD without wine")
            << S("RunMe.sh") << S("RunMe2.CMD") << false << QStringList();
        QTest::newRow("Setup.exe without wine")
            << S("Setup.exe") << QString() << false << QStringList();
        QTest::newRow("RunMe.bat with wine")
            << S("RunMe.bat") << S("RunMe2.sh") << true
            << QStringList{S("wine|cmd /c RunMe.bat") + folder + prefix,
                           S("RunMe2.sh|") + folder + S("unset")};
        QTest::newRow("Setup.exe and RunMe2.cmd with wine")
            << S("Setup.exe") << S("RunMe2.cmd") << true
            << QStringList{S("wine|Setup.exe") + folder + prefix,
                           S("wine|cmd /c RunMe2.cmd") + folder + prefix};
        QTest::newRow("shell scripts need no wine")
            << S("RunMe.sh") << S("RunMe2.sh") << false
            << QStringList{S("RunMe.sh|") + folder + S("unset"),
                           S("RunMe2.sh|") + folder + S("unset")};
    }

    void tick()
    {
        QFETCH(QString, runMe);
        QFETCH(QString, runMe2);
        QFETCH(bool, wine);
        QFETCH(QStringList, expected);

        QVERIFY(writeAll(options() + S("Pack/options.ini"), "[Mode]\r\nOptionMode=7\r\n"));
        QVERIFY(writeAll(options() + S("Pack/Group/options.ini"), "[Mode]\r\nOptionMode=7\r\n"));
        option(S("Pack/Group/A"), 2, runMe, runMe2);
        option(S("Pack/Group/B"), 3, S("RunMe.sh"), QString());
        QVERIFY(QDir().mkpath(at(S("bin"))));
        if (wine) {
            QVERIFY(writeAll(at(S("bin/wine")), recorder()));
            QVERIFY(QFile::setPermissions(at(S("bin/wine")),
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        qputenv("PATH", QFile::encodeName(at(S("bin"))));
        qunsetenv("WINEPREFIX");
        // The player pinned the prefix; the option scripts that are no Windows scripts never
        // see it.
        ProgramSettings.WinePrefix = S("prefix");

        OptionTree tree;
        int count = 0;
        GetDirectories(tree, options(), nullptr, count);
        OptionNode *node = FindNode(tree, S("Pack/Group/A"));
        QVERIFY(node);
        const QMap<QString, QByteArray> before = descriptors();

        QString message;
        try {
            ApplyChanges(tree, node, options(), nullptr);
        } catch (const AppError &e) {
            message = e.message();
        }

        if (expected.isEmpty()) {
            QCOMPARE(message, platform::wineMissingMessage());
            QCOMPARE(message, S("This option's installer is a Windows script and needs Wine: "
                                "install the wine package and tick it again."));
            QCOMPARE(descriptors(), before);
            QCOMPARE(node->StateIndex, 2);
            QCOMPARE(FindNode(tree, S("Pack/Group/B"))->StateIndex, 3);
            // Nothing was started: a script started now is the first and only one to log.
            QVERIFY(writeAll(at(S("marker.sh")), recorder()));
            QVERIFY(
                platform::shellOpen(at(S("marker.sh")), {}, m_root, platform::ShowCommand::Hidden));
            QTRY_COMPARE(logLines().size(), 1);
            QVERIFY(logLines().front().startsWith(S("marker.sh|")));
            return;
        }

        QCOMPARE(message, QString());
        QCOMPARE(modeOf(S("Pack/Group/A")), 3);
        QCOMPARE(modeOf(S("Pack/Group/B")), 2);
        for (QString &line : expected)
            line.replace(S("$T"), m_root);
        QTRY_COMPARE(logLines().size(), expected.size());
        QStringList lines = logLines();
        lines.sort();
        expected.sort();
        QCOMPARE(lines, expected);
    }
};

QTEST_MAIN(TestApplyWine)
#include "tst_applywine.moc"
