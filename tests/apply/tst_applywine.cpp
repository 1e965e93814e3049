// Ticking an option whose scripts are Windows scripts: refused before anything is written when
// Wine is missing, and started in the game's prefix when it is there.

#include "apply/ApplyChanges.h"
#include "apply/OtherWineQuestion.h"
#include "common/TestFiles.h"
#include "common/TestTree.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"
#include "files/Error.h"
#include "ini/IniFile.h"
#include "launch/ScriptLauncher.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QMap>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace testfiles;

class TestApplyWine : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root; // the temporary folder, canonical
    QByteArray m_path, m_winePrefix, m_home, m_config;

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
        m_home = qgetenv("HOME");
        m_config = qgetenv("XDG_CONFIG_HOME");
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
        qputenv("HOME", m_home);
        if (m_config.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", m_config);
        platform::setWineQuestionHandler({});
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
        testfiles::addSandbox(at(S("bin")));
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
            QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, HangMs);
            QVERIFY(logLines().front().startsWith(S("marker.sh|")));
            return;
        }

        QCOMPARE(message, QString());
        QCOMPARE(modeOf(S("Pack/Group/A")), 3);
        QCOMPARE(modeOf(S("Pack/Group/B")), 2);
        for (QString &line : expected)
            line.replace(S("$T"), m_root);
        QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), expected.size(), HangMs);
        QStringList lines = logLines();
        lines.sort();
        expected.sort();
        QCOMPARE(lines, expected);
    }

    // A Proton prefix whose build was removed: the player is asked before anything is written.
    void tickInAPrefixWhoseWineIsGone_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("Cancel") << false;
        QTest::newRow("Yes") << true;
    }

    void tickInAPrefixWhoseWineIsGone()
    {
        QFETCH(bool, yes);
        QVERIFY(writeAll(options() + S("Pack/options.ini"), "[Mode]\r\nOptionMode=7\r\n"));
        QVERIFY(writeAll(options() + S("Pack/Group/options.ini"), "[Mode]\r\nOptionMode=7\r\n"));
        option(S("Pack/Group/A"), 2, S("RunMe.bat"), QString());
        option(S("Pack/Group/B"), 3, S("RunMe.sh"), QString());
        QVERIFY(writeAll(options() + S("Pack/Group/B/Selected.ini"), "[Selected]\r\n"));
        QVERIFY(writeAll(at(S("bin/wine")), recorder()));
        QVERIFY(QFile::setPermissions(at(S("bin/wine")),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString compat = S("home/.local/share/Steam/steamapps/compatdata/2510");
        QVERIFY(writeAll(at(compat + S("/config_info")),
                         "8.0-5\n" + at(S("gone/Proton 8.0/files/share/fonts/")).toUtf8() + "\n"));
        QVERIFY(writeAll(at(compat + S("/pfx/drive_c/users/steamuser/AppData/Roaming/Electronic "
                                       "Arts/Dark Age of Camelot/user.dat")),
                         "[interface]\r\nitem1=4\r\n"));
        testfiles::addSandbox(at(S("bin")));
        qputenv("PATH", QFile::encodeName(at(S("bin"))));
        qputenv("HOME", QFile::encodeName(at(S("home"))));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(at(S("config"))));
        qunsetenv("WINEPREFIX");
        int asked = 0;
        platform::setWineQuestionHandler([&asked, yes](const platform::WineQuestion &question) {
            ++asked;
            return yes && question.ownWine == S("Proton 8.0-5");
        });

        OptionTree tree;
        int count = 0;
        GetDirectories(tree, options(), nullptr, count);
        OptionNode *node = FindNode(tree, S("Pack/Group/A"));
        QVERIFY(node);
        const QMap<QString, QByteArray> before = descriptors();
        const QString answers = at(S("config/varimond/wine-prefixes"));

        bool cancelled = false;
        try {
            ApplyChanges(tree, node, options(), nullptr);
        } catch (const UserCancelled &) {
            cancelled = true;
        }
        QCOMPARE(asked, 1);
        QCOMPARE(cancelled, !yes);
        if (!yes) {
            QCOMPARE(descriptors(), before);
            QVERIFY(QFile::exists(options() + S("Pack/Group/B/Selected.ini")));
            QCOMPARE(node->StateIndex, 2);
            QVERIFY(!QFile::exists(answers));
            QVERIFY(writeAll(at(S("marker.sh")), recorder()));
            QVERIFY(
                platform::shellOpen(at(S("marker.sh")), {}, m_root, platform::ShowCommand::Hidden));
            QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, HangMs);
            QVERIFY(logLines().front().startsWith(S("marker.sh|")));
            return;
        }
        // Yes: the system wine in the Proton prefix, and the answer kept for the player.
        QCOMPARE(modeOf(S("Pack/Group/A")), 3);
        QCOMPARE(modeOf(S("Pack/Group/B")), 2);
        const QString prefix = at(compat + S("/pfx"));
        QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, HangMs);
        QCOMPARE(logLines().front(),
                 S("wine|cmd /c RunMe.bat|") + options() + S("Pack/Group/A|") + prefix);
        QCOMPARE(readAll(answers), prefix.toUtf8() + '\n');
        // A second tick asks nothing.
        ApplyChanges(tree, node, options(), nullptr);
        QCOMPARE(asked, 1);
    }

    // The question's own window: Cancel is the default, so Enter or Escape never says yes.
    void questionDefaultsToCancel_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("yes");
        QTest::newRow("Enter") << int(Qt::Key_Return) << false;
        QTest::newRow("Escape") << int(Qt::Key_Escape) << false;
        QTest::newRow("Yes clicked") << 0 << true;
    }

    void questionDefaultsToCancel()
    {
        QFETCH(int, key);
        QFETCH(bool, yes);
        const platform::WineQuestion question{S("/home/p/Games/daoc"),
                                              S("Lutris runner wine-ge-8-26"), S("/usr/bin/wine")};
        std::unique_ptr<QMessageBox> made(MakeOtherWineQuestion(nullptr, question));
        QCOMPARE(made->objectName(), S("OtherWineQuestion"));
        QCOMPARE(made->defaultButton(), made->button(QMessageBox::Cancel));
        QCOMPARE(made->text(), question.text());
        made.reset();

        bool seen = false;
        QTimer::singleShot(0, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen = true;
            if (key)
                QTest::keyClick(box, Qt::Key(key));
            else
                box->findChild<QPushButton *>(S("btnYes"))->click();
        });
        QCOMPARE(AskOtherWine(question), yes);
        QVERIFY(seen);
    }
};

QTEST_MAIN(TestApplyWine)
#include "tst_applywine.moc"
