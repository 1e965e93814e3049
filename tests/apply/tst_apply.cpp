// Ticking options: the selection rules on real option folders, the scripts started as real
// processes, the progress dialog, and the hit test of the state icon on a real tree view.

#include "apply/ApplyChanges.h"
#include "apply/ApplyFrm.h"
#include "apply/TreeClick.h"
#include "common/TestFiles.h"
#include "common/TestTree.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "core/StatusLine.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "options/OptionPlace.h"
#include "options/OptionScan.h"
#include "options/OptionTreeController.h"
#include "options/SelectionRules.h"
#include "options/StateIcons.h"
#include "files/Error.h"
#include "ini/IniFile.h"
#include "launch/ScriptLauncher.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMap>
#include <QProgressBar>
#include <QScopeGuard>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QWindow>
#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <sys/time.h>

using namespace testfiles;

namespace {

void WriteBytes(const QString &path, const QByteArray &bytes)
{
    if (!writeAll(path, bytes))
        qFatal("cannot write %s", qPrintable(path));
}

// @p text in UTF-16 (little-endian) with its byte-order mark.
QByteArray Utf16(const QByteArray &text)
{
    QByteArray out("\xFF\xFE", 2);
    for (const char c : text)
        out.append(c).append('\0');
    return out;
}

// Whether a process runs in @p folder or below it, as a script started there does.
bool AnyProcessIn(const QString &folder)
{
    const QString inside = QDir(folder).canonicalPath() + QLatin1Char('/');
    for (const QString &pid : QDir(S("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString cwd = QFileInfo(S("/proc/") + pid + S("/cwd")).symLinkTarget();
        if (!cwd.isEmpty() && (cwd + QLatin1Char('/')).startsWith(inside))
            return true;
    }
    return false;
}

// One started script as it recorded itself.
struct Run
{
    QString name;
    QString args;
    QString dir;
    qint64 ns = 0;
};

} // namespace

class TestApply : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root; // options root, ending in '/'
    QString m_log;
    QByteArray m_path;

    // A script that appends "name|arguments|folder|start time" to the log.
    QByteArray Script() const
    {
        return "#!/bin/sh\nPATH=/usr/bin:/bin\nexport PATH\n"
               "printf '%s|%s|%s|%s\\n' \"$(basename \"$0\")\" \"$*\" \"$(pwd -P)\" "
               "\"$(date +%s%N)\" >> '" +
               m_log.toUtf8() + "'\n";
    }

    // An option folder below the options root. @p mode "-" writes no options.ini; flags:
    // "link" (OptionLinkChildren=1), "noscript" (no scripts), "delay=N".
    void Option(const QString &rel, const QString &mode, const QStringList &flags = {})
    {
        const QString folder = m_root + rel + QLatin1Char('/');
        QDir().mkpath(folder);
        if (!flags.contains(S("noscript"))) {
            WriteBytes(folder + S("RunMe.sh"), Script());
            WriteBytes(folder + S("RunMe2.sh"), Script());
        }
        if (mode == S("-"))
            return;
        int delay = 300;
        for (const QString &f : flags) {
            if (f.startsWith(S("delay=")))
                delay = f.mid(6).toInt();
        }
        QByteArray ini = "[RunMe]\nOptionRunMeFName=RunMe.sh\nOptionRunMe2FName=RunMe2.sh\n"
                         "[ProgramDelay]\nOptionProgramDelay=" +
                         QByteArray::number(delay) + "\n[Mode]\nOptionMode=" + mode.toUtf8() + "\n";
        if (flags.contains(S("link")))
            ini += "[LinkChildren]\nOptionLinkChildren=1\n";
        WriteBytes(folder + S("options.ini"), ini);
    }

    // "path mode flags..." per entry.
    void Layout(const QStringList &entries)
    {
        for (const QString &entry : entries) {
            QStringList parts = entry.split(QLatin1Char(' '));
            const QString path = parts.takeFirst();
            Option(path, parts.takeFirst(), parts);
        }
    }

    QString Ini(const QString &rel) const { return m_root + rel + S("/options.ini"); }

    // OptionMode as stored; -1 when the file does not exist.
    int ModeOnDisk(const QString &rel) const
    {
        if (!QFile::exists(Ini(rel)))
            return -1;
        return platform::IniFile::readInteger(Ini(rel), S("Mode"), S("OptionMode"), -99);
    }

    void Scan(OptionTree &tree)
    {
        int count = 0;
        GetDirectories(tree, m_root, nullptr, count);
    }

    QMap<QString, QByteArray> Snapshot() const
    {
        QMap<QString, QByteArray> files;
        QDirIterator it(m_root, {S("options.ini")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            files.insert(path, readAll(path));
        }
        return files;
    }

    QList<Run> Runs() const
    {
        QList<Run> runs;
        const QList<QByteArray> lines = readAll(m_log).split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> f = line.split('|');
            if (f.size() == 4)
                runs.append(Run{QString::fromUtf8(f[0]), QString::fromUtf8(f[1]),
                                QString::fromUtf8(f[2]), f[3].toLongLong()});
        }
        return runs;
    }

    QString Physical(const QString &rel) const { return QDir(m_root + rel).canonicalPath(); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_root = m_dir->path() + S("/Options/");
        m_log = m_dir->path() + S("/log.txt");
        QDir().mkpath(m_root);
        ProgramSettings = TProgramSettings();
        ProgramSettings.ProgramDir = m_dir->path() + QLatin1Char('/');
        ProgramSettings.OptionsDir = S("Options");
        ProgramSettings.DefaultReadMeTxtFName = S("ReadMe.txt");
        ProgramSettings.DefaultRunMeFName = S("RunMe.bat");
        ProgramSettings.DefaultRunMe2FName = S("RunMe2.bat");
        ProgramSettings.DefaultProgramDelay = 2000;
        m_path = qgetenv("PATH");
    }

    void cleanup()
    {
        qputenv("PATH", m_path);
        m_dir.reset();
    }

    // ---- Selection rules -------------------------------------------------------------------

    void tick_data()
    {
        QTest::addColumn<QStringList>("layout");
        QTest::addColumn<QString>("ticked");
        QTest::addColumn<QStringList>("expected"); // "path mode" stored and shown afterwards

        const QStringList siblings{S("Pack 7"), S("Pack/P 2"), S("Pack/P/A 3"), S("Pack/P/B 2"),
                                   S("Pack/P/C 5")};
        QTest::newRow("siblings, tick B")
            << siblings << S("Pack/P/B")
            << QStringList{S("Pack/P/A 2"), S("Pack/P/B 3"), S("Pack/P/C 4")};
        QTest::newRow("siblings, tick the selected A")
            << siblings << S("Pack/P/A")
            << QStringList{S("Pack/P/A 3"), S("Pack/P/B 2"), S("Pack/P/C 4")};

        const QStringList tree{S("Pack 7"),        S("Pack/L 7 link"), S("Pack/L/X 7"),
                               S("Pack/L/X/X1 2"), S("Pack/L/X/X2 3"), S("Pack/L/Y 7"),
                               S("Pack/L/Y/Y1 3")};
        QTest::newRow("linked folder: one group across sub-folders")
            << tree << S("Pack/L/X/X1")
            << QStringList{S("Pack/L/X/X1 3"), S("Pack/L/X/X2 2"), S("Pack/L/Y/Y1 2")};
        QStringList unlinked = tree;
        unlinked[1] = S("Pack/L 7");
        QTest::newRow("without the link only the siblings")
            << unlinked << S("Pack/L/X/X1") << QStringList{S("Pack/L/X/X1 3"), S("Pack/L/X/X2 2")};

        QTest::newRow("the nearest of two linked folders makes the group")
            << QStringList{S("Pack 7"),          S("Pack/L 7 link"),   S("Pack/L/Z 7"),
                           S("Pack/L/Z/Z1 3"),   S("Pack/L/M 7 link"), S("Pack/L/M/X 7"),
                           S("Pack/L/M/X/X1 2"), S("Pack/L/M/X/X2 3"), S("Pack/L/M/Y 7"),
                           S("Pack/L/M/Y/Y1 5")}
            << S("Pack/L/M/X/X1")
            << QStringList{S("Pack/L/M/X/X1 3"), S("Pack/L/M/X/X2 2"), S("Pack/L/M/Y/Y1 4")};
        QTest::newRow("an option that is itself linked")
            << QStringList{S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 2 link"), S("Pack/P/B 3")}
            << S("Pack/P/A") << QStringList{S("Pack/P/A 3")};
        QTest::newRow("folder without options.ini gets mode 1")
            << QStringList{S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 2"), S("Pack/P/N - noscript")}
            << S("Pack/P/A") << QStringList{S("Pack/P/A 3"), S("Pack/P/N 1")};
        QTest::newRow("leaf without scripts stored as the tree shows it")
            << QStringList{S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 2"), S("Pack/P/Q 3 noscript")}
            << S("Pack/P/A") << QStringList{S("Pack/P/A 3"), S("Pack/P/Q 1")};
        QTest::newRow("link entry and folder leaves keep their states")
            << QStringList{S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 4"), S("Pack/P/W 6"),
                           S("Pack/P/F 9")}
            << S("Pack/P/A") << QStringList{S("Pack/P/A 5"), S("Pack/P/W 6"), S("Pack/P/F 9")};
        QTest::newRow("modes 4 and 5 mixed with 2 and 3")
            << QStringList{S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 5"), S("Pack/P/B 4"),
                           S("Pack/P/C 3")}
            << S("Pack/P/B") << QStringList{S("Pack/P/A 4"), S("Pack/P/B 5"), S("Pack/P/C 2")};
    }

    void tick()
    {
        QFETCH(QStringList, layout);
        QFETCH(QString, ticked);
        QFETCH(QStringList, expected);
        Layout(layout);
        OptionTree tree;
        Scan(tree);
        OptionNode *node = FindNode(tree, ticked);
        QVERIFY(node);
        QMap<OptionNode *, int> statesBefore;
        tree.ForEach([&statesBefore](OptionNode *n) { statesBefore.insert(n, n->StateIndex); });
        QSet<OptionNode *> notified;
        tree.StateChanged = [&notified](OptionNode *n) { notified.insert(n); };
        const QMap<QString, QByteArray> before = Snapshot();

        UpdateTreeViewCheckBox(tree, node, m_root);

        QSet<QString> written;
        for (const QString &e : expected) {
            const QString rel = e.section(QLatin1Char(' '), 0, 0);
            const int mode = e.section(QLatin1Char(' '), 1, 1).toInt();
            QCOMPARE(ModeOnDisk(rel), mode);
            OptionNode *n = FindNode(tree, rel);
            QVERIFY(n);
            QCOMPARE(n->StateIndex, mode);
            // The views heard of every change at once.
            if (n != node) // the ticked node may be cleared and set again
                QCOMPARE(notified.contains(n), statesBefore.value(n) != mode);
            written.insert(Ini(rel));
            if (!before.contains(Ini(rel))) // created: it holds the mode alone
                QCOMPARE(platform::IniFile(Ini(rel)).sections(), QStringList{S("Mode")});
        }
        // Nothing outside the group and the ticked option is touched.
        const QMap<QString, QByteArray> after = Snapshot();
        for (auto it = after.cbegin(); it != after.cend(); ++it) {
            if (!written.contains(it.key()))
                QCOMPARE(it.value(), before.value(it.key()));
        }
        for (OptionNode *n : std::as_const(notified))
            QVERIFY(written.contains(GetNodeDir(n, m_root) + S("options.ini")));
    }

    void linkEntryChildAndBothDirections()
    {
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/S 2")});
        WriteBytes(Ini(S("Pack/P/S/W")), "[Mode]\nOptionMode=06\n");
        OptionTree tree;
        Scan(tree);
        OptionNode *s = FindNode(tree, S("Pack/P/S"));
        QVERIFY(s);
        QCOMPARE(s->StateIndex, int(CheckOff)); // a LinkEntry child leaves it selectable

        ApplyChanges(tree, s, m_root, nullptr);
        QCOMPARE(s->StateIndex, int(CheckOn));
        QCOMPARE(ModeOnDisk(S("Pack/P/S")), 3);
        QCOMPARE(readAll(Ini(S("Pack/P/S/W"))), QByteArray("[Mode]\nOptionMode=6\n"));
        QTRY_COMPARE_WITH_TIMEOUT(Runs().size(), 2, HangMs);

        ApplyChanges(tree, s, m_root, nullptr);
        QCOMPARE(s->StateIndex, int(CheckOff));
        QCOMPARE(ModeOnDisk(S("Pack/P/S")), 2);
        QCOMPARE(FindNode(tree, S("Pack/P/S/W"))->StateIndex, int(LinkEntry));
        QTRY_COMPARE_WITH_TIMEOUT(Runs().size(), 4, HangMs); // the scripts run in both directions
    }

    void deepGroupIsClearedToItsBottom()
    {
        QString chain = S("Pack/P");
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 2")});
        for (int i = 0; i < MaxOptionDepth - 4; ++i)
            chain += S("/d");
        Option(chain + S("/Leaf"), S("5"));
        OptionTree tree;
        Scan(tree);
        OptionNode *leaf = FindNode(tree, chain + S("/Leaf"));
        QVERIFY(leaf);
        QCOMPARE(leaf->StateIndex, int(ModeOn));
        UpdateTreeViewCheckBox(tree, FindNode(tree, S("Pack/P/A")), m_root);
        QCOMPARE(leaf->StateIndex, int(ModeOff));
        QCOMPARE(ModeOnDisk(chain + S("/Leaf")), 4);
        QCOMPARE(ModeOnDisk(S("Pack/P/A")), 3);
        QCOMPARE(ModeOnDisk(chain), -1); // folders in between are no leaves: never written
    }

    void tickRewritesOnlyWhatChanges_data()
    {
        QTest::addColumn<QString>("name"); // the descriptor's name on disk
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after"); // equal to before: the file is not touched

        const QByteArray scripts = "[RunMe]\r\nOptionRunMeFName=RunMe.sh\r\n";
        QTest::newRow("selected sibling is cleared")
            << S("options.ini") << scripts + "[Mode]\r\nOptionMode=3\r\n"
            << scripts + "[Mode]\r\nOptionMode=2\r\n";
        QTest::newRow("hand-written mode already cleared")
            << S("options.ini") << "; by hand\r\n" + scripts + "[Mode]\r\n  OptionMode = 2 \r\n"
            << "; by hand\r\n" + scripts + "[Mode]\r\n  OptionMode = 2 \r\n";
        QTest::newRow("descriptor named in other case")
            << S("OPTIONS.INI") << scripts + "[mode]\r\noptionmode=5\r\n"
            << scripts + "[mode]\r\noptionmode=4\r\n";
        QTest::newRow("UTF-16 descriptor")
            << S("options.ini") << Utf16(scripts + "[Mode]\r\nOptionMode=3\r\n")
            << Utf16(scripts + "[Mode]\r\nOptionMode=2\r\n");
    }

    void tickRewritesOnlyWhatChanges()
    {
        // A tick reads each descriptor of the group; one whose mode is already what the rule
        // wants stays as it is (same file, same bytes); a changed one is replaced whole, with
        // its permissions, and leaves no temporary file behind (nor one a killed write left).
        QFETCH(QString, name);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/S -"), S("Pack/P/T 2")});
        const QString folder = m_root + S("Pack/P/S/");
        const QString path = folder + name;
        WriteBytes(path, before);
        QVERIFY(
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        const QString stale = folder + S(".") + name + S(".varimond-tmp-k1LL3d");
        WriteBytes(stale, "[Mode]\r\nOptionMode=");
        const struct timeval old[2] = {{time(nullptr) - 600, 0}, {time(nullptr) - 600, 0}};
        QCOMPARE(::utimes(QFile::encodeName(stale).constData(), old), 0);
        struct stat was = {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &was), 0);
        OptionTree tree;
        Scan(tree);

        UpdateTreeViewCheckBox(tree, FindNode(tree, S("Pack/P/T")), m_root);

        QCOMPARE(ModeOnDisk(S("Pack/P/T")), 3);
        QCOMPARE(readAll(path), after);
        struct stat is = {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &is), 0);
        QCOMPARE(is.st_ino == was.st_ino, before == after);
        QCOMPARE(is.st_mode & 07777, mode_t(0640));
        QStringList expected{S("RunMe.sh"), S("RunMe2.sh"), name};
        if (before == after) // nothing was written, so nothing was cleaned either
            expected << S(".") + name + S(".varimond-tmp-k1LL3d");
        expected.sort();
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
        QCOMPARE(QDir(m_root + S("Pack/P/T")).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 (QStringList{S("RunMe.sh"), S("RunMe2.sh"), S("options.ini")}));
    }

    void refusedTickChangesNothing_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("read-only descriptor") << S("read-only");
        QTest::newRow("descriptor over the size limit") << S("oversized");
        QTest::newRow("descriptor that is a link out of the pack") << S("linked file");
        QTest::newRow("ticked option reached through a link out of the pack") << S("linked option");
    }

    void refusedTickChangesNothing()
    {
        // A tick is all or nothing: when one descriptor of the group may not be written, no
        // descriptor changes, the group keeps its choice and no script starts.
        QFETCH(QString, fault);
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 3"), S("Pack/P/B 4"), S("Pack/P/C 2"),
                S("Pack/P/D 2")});
        QString refused = Ini(S("Pack/P/B"));
        QString ticked = S("Pack/P/D");
        const QString outside = m_dir->path() + S("/outside/");
        QVERIFY(QDir().mkpath(outside + S("Ext")));
        if (fault == S("read-only")) {
            QVERIFY(QFile::setPermissions(refused, QFile::ReadOwner | QFile::ReadGroup));
        } else if (fault == S("oversized")) {
            QFile big(refused);
            QVERIFY(big.open(QIODevice::ReadWrite));
            QVERIFY(big.resize(100 * 1024 * 1024)); // sparse: no disk is used
        } else if (fault == S("linked file")) {
            WriteBytes(outside + S("profile"), "[Mode]\nOptionMode=4\n");
            QVERIFY(QFile::remove(refused));
            QVERIFY(QFile::link(outside + S("profile"), refused));
        } else {
            WriteBytes(outside + S("Ext/RunMe.sh"), Script());
            WriteBytes(outside + S("Ext/options.ini"), "[RunMe]\nOptionRunMeFName=RunMe.sh\n[Mode]\nOptionMode=2\n");
            QVERIFY(QFile::link(outside + S("Ext"), m_root + S("Pack/P/Ext")));
            ticked = S("Pack/P/Ext");
            refused.clear();
        }
        const QMap<QString, QByteArray> before = Snapshot();
        const QByteArray outsideBefore = readAll(outside + S("Ext/options.ini"));
        OptionTree tree;
        Scan(tree);
        ProgramSettings.HideShell = false;

        QString message;
        try {
            ApplyChanges(tree, FindNode(tree, ticked), m_root, nullptr);
        } catch (const AppError &e) {
            message = e.message();
        }
        if (refused.isEmpty())
            QVERIFY2(message.contains(S("outside the options folder")), qPrintable(message));
        else
            QCOMPARE(message, S("Unable to write to ") + refused);
        QCOMPARE(Snapshot(), before);
        QCOMPARE(readAll(outside + S("Ext/options.ini")), outsideBefore);
        QCOMPARE(FindNode(tree, S("Pack/P/A"))->StateIndex, 3);
        QCOMPARE(FindNode(tree, S("Pack/P/D"))->StateIndex, 2);
        // A script the tick had started would still run in its folder, or have written its
        // line before it ended: looked at in that order, nothing is missed.
        QVERIFY(!AnyProcessIn(m_dir->path()));
        QCOMPARE(Runs().size(), 0);
    }

    void changeAfterTheTickBeganIsRefused_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("descriptor swapped for a link out of the pack") << S("link");
        QTest::newRow("descriptor edited") << S("edited");
        QTest::newRow("folder swapped for a link out of the pack") << S("folder");
    }

    void changeAfterTheTickBeganIsRefused()
    {
        // The ticked option is resolved when its tick begins; when the tick writes, what stands
        // at its descriptor's name must still be the file read then, in the folder found then.
        QFETCH(QString, change);
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 3"), S("Pack/P/D 2")});
        const QString outside = m_dir->path() + S("/outside/");
        const QString moved = m_dir->path() + S("/moved");
        QVERIFY(QDir().mkpath(outside));
        WriteBytes(outside + S("options.ini"), "[Mode]\nOptionMode=2\n");
        OptionTree tree;
        Scan(tree);
        OptionNode *ticked = FindNode(tree, S("Pack/P/D"));
        FolderPlaces places(m_root);
        ResolvedOption option(ticked, places, ProgramSettings);

        const QString descriptor = Ini(S("Pack/P/D"));
        if (change == S("link")) {
            QVERIFY(QFile::remove(descriptor));
            QVERIFY(QFile::link(outside + S("options.ini"), descriptor));
        } else if (change == S("edited")) {
            WriteBytes(descriptor, readAll(descriptor) + "; edited\n");
        } else {
            QVERIFY(QDir().rename(m_root + S("Pack/P/D"), moved));
            QVERIFY(QFile::link(outside, m_root + S("Pack/P/D")));
        }
        const QMap<QString, QByteArray> before = Snapshot();
        const QByteArray movedBefore = readAll(moved + S("/options.ini"));
        QVERIFY_THROWS_EXCEPTION(AppError, UpdateTreeViewCheckBox(tree, option, places));
        QCOMPARE(Snapshot(), before);
        QCOMPARE(readAll(outside + S("options.ini")), QByteArray("[Mode]\nOptionMode=2\n"));
        QCOMPARE(readAll(moved + S("/options.ini")), movedBefore);
        QCOMPARE(FindNode(tree, S("Pack/P/A"))->StateIndex, 3);
        QCOMPARE(ticked->StateIndex, 2);
    }

    void outsideGroupMembersAreLeftAlone()
    {
        // A group member reached through a link out of the options folder is shown, but a tick
        // in its group leaves its descriptor as it is and says so.
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 3"), S("Pack/P/D 2")});
        const QString outside = m_dir->path() + S("/outside/Docs/");
        QVERIFY(QDir().mkpath(outside + S("Deep")));
        WriteBytes(outside + S("RunMe.sh"), Script());
        WriteBytes(outside + S("options.ini"), "[RunMe]\nOptionRunMeFName=RunMe.sh\n[Mode]\nOptionMode=3\n");
        QVERIFY(QFile::link(outside, m_root + S("Pack/P/Docs")));
        OptionTree tree;
        Scan(tree);
        ProgramSettings.HideShell = false;

        QCOMPARE(ApplyChanges(tree, FindNode(tree, S("Pack/P/D")), m_root, nullptr), 1);
        QCOMPARE(ModeOnDisk(S("Pack/P/A")), 2);
        QCOMPARE(ModeOnDisk(S("Pack/P/D")), 3);
        QCOMPARE(readAll(outside + S("options.ini")),
                 QByteArray("[RunMe]\nOptionRunMeFName=RunMe.sh\n[Mode]\nOptionMode=3\n"));
        QVERIFY(!QFileInfo::exists(outside + S("Deep/options.ini")));
    }

    void stagedWriteUndoesToOldBytes_data()
    {
        QTest::addColumn<bool>("existed");
        QTest::newRow("descriptor that was there") << true;
        QTest::newRow("descriptor the run created") << false;
    }

    void stagedWriteUndoesToOldBytes()
    {
        // What a failed run of writes uses to undo the writes it made.
        QFETCH(bool, existed);
        const QString folder = m_root + S("X/");
        QVERIFY(QDir().mkpath(folder));
        const QByteArray original = "; mine\r\n[Mode]\r\nOptionMode=3\r\n";
        if (existed) {
            WriteBytes(folder + S("options.ini"), original);
            QVERIFY(QFile::setPermissions(folder + S("options.ini"),
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        }
        PendingModeWrite write(folder, 2);
        QVERIFY(write.Changes());
        write.Write();
        QCOMPARE(ModeOnDisk(S("X")), 2);
        QVERIFY(write.Undo());
        QCOMPARE(QFileInfo::exists(folder + S("options.ini")), existed);
        if (existed) {
            QCOMPARE(readAll(folder + S("options.ini")), original);
            struct stat st = {};
            QCOMPARE(::stat(QFile::encodeName(folder + S("options.ini")).constData(), &st), 0);
            QCOMPARE(st.st_mode & 07777, mode_t(0640));
        }
    }

    void notSelectableDoesNothing_data()
    {
        QTest::addColumn<QString>("rel");
        QTest::newRow("Notice") << S("Pack/P/N");
        QTest::newRow("LinkEntry") << S("Pack/P/W");
        QTest::newRow("folder") << S("Pack/P");
    }

    void notSelectableDoesNothing()
    {
        QFETCH(QString, rel);
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 3"), S("Pack/P/N 2 noscript"),
                S("Pack/P/W 6")});
        OptionTree tree;
        Scan(tree);
        const QMap<QString, QByteArray> before = Snapshot();
        ProgramSettings.HideShell = true;
        TApplyForm form(nullptr);
        ApplyChanges(tree, FindNode(tree, rel), m_root, &form);
        QCOMPARE(Snapshot(), before);
        QCOMPARE(FindNode(tree, S("Pack/P/A"))->StateIndex, int(CheckOn));
        QVERIFY(!QFile::exists(m_log));
    }

    // ---- Scripts ---------------------------------------------------------------------------

    void hiddenScriptBehindTheDialog()
    {
        const int delay = 400;
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 2"),
                S("Pack/P/B 2 delay=") + QString::number(delay)});
        OptionTree tree;
        Scan(tree);
        ProgramSettings.HideShell = true;
        QWidget owner;
        owner.setGeometry(100, 100, 600, 400);
        owner.show();
        TApplyForm form(&owner);

        // Watches the dialog while it is up.
        bool shown = false;
        int barMaximum = 0;
        int barHighest = 0;
        int runsWhileUp = 0;
        bool secondWhileUp = false;
        QTimer probe;
        probe.setInterval(5);
        connect(&probe, &QTimer::timeout, this, [&] {
            if (!form.isVisible())
                return;
            shown = true;
            barMaximum = form.ProgressBar1()->maximum();
            barHighest = std::max(barHighest, form.ProgressBar1()->value());
            const QList<Run> runs = Runs();
            runsWhileUp = std::max(runsWhileUp, int(runs.size()));
            for (const Run &r : runs)
                secondWhileUp = secondWhileUp || r.name == S("RunMe2.sh");
        });
        probe.start();
        qint64 closedAt = 0;
        connect(&form, &QDialog::finished, this,
                [&] { closedAt = QDateTime::currentMSecsSinceEpoch() * 1000000; });

        QElapsedTimer clock;
        clock.start();
        ApplyChanges(tree, FindNode(tree, S("Pack/P/B")), m_root, &form);
        const qint64 took = clock.elapsed();
        probe.stop();

        QVERIFY(shown);
        QVERIFY(took >= delay);
        QCOMPARE(barMaximum, delay);
        QVERIFY(barHighest > 0);
        QVERIFY(runsWhileUp <= 1); // the first script only
        QVERIFY(!secondWhileUp);
        QVERIFY(!form.Timer1()->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(Runs().size(), 2, HangMs);
        QMap<QString, Run> byName;
        for (const Run &r : Runs()) {
            byName.insert(r.name, r);
            QCOMPARE(r.dir, Physical(S("Pack/P/B")));
        }
        QCOMPARE(byName.value(S("RunMe.sh")).args, S("-h"));
        QVERIFY(byName.contains(S("RunMe2.sh")));
        QCOMPARE(byName.value(S("RunMe2.sh")).args, QString());
        QVERIFY(byName.value(S("RunMe2.sh")).ns >= closedAt);
        QCOMPARE(ModeOnDisk(S("Pack/P/B")), 3);
    }

    void descriptorDefaultsFromTheSettings_data()
    {
        QTest::addColumn<QString>("defaultRunMe");
        QTest::addColumn<int>("defaultDelay");
        QTest::addColumn<bool>("runs");
        QTest::addColumn<int>("delayUsed");
        QTest::newRow("another script name and delay") << S("Install.sh") << 150 << true << 150;
        QTest::newRow("a delay below the shortest") << S("Install.sh") << 5 << true << 20;
        QTest::newRow("a default naming no file: not selectable")
            << S("Setup.sh") << 150 << false << 0;
    }

    void descriptorDefaultsFromTheSettings()
    {
        QFETCH(QString, defaultRunMe);
        QFETCH(int, defaultDelay);
        QFETCH(bool, runs);
        QFETCH(int, delayUsed);
        ProgramSettings.DefaultRunMeFName = defaultRunMe;
        ProgramSettings.DefaultRunMe2FName = S("After.sh"); // no such file
        ProgramSettings.DefaultProgramDelay = defaultDelay;
        ProgramSettings.HideShell = true;
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/B 3")});
        // A descriptor that names neither scripts nor delay: the settings' defaults apply.
        WriteBytes(Ini(S("Pack/P/A")), "[Mode]\nOptionMode=2\n");
        WriteBytes(m_root + S("Pack/P/A/Install.sh"), Script());
        OptionTree tree;
        Scan(tree);
        OptionNode *a = FindNode(tree, S("Pack/P/A"));
        QCOMPARE(IsSelectable(a->StateIndex), runs);
        TApplyForm form(nullptr);
        int barMaximum = 0;
        connect(&form, &QDialog::finished, this,
                [&] { barMaximum = form.ProgressBar1()->maximum(); });

        ApplyChanges(tree, a, m_root, &form);
        QCOMPARE(barMaximum, delayUsed);
        if (!runs) {
            QCOMPARE(ModeOnDisk(S("Pack/P/B")), 3);
            return;
        }
        QCOMPARE(CurrentOption.OptionProgramDelay, delayUsed);
        QCOMPARE(CurrentOption.OptionRunMeFName, defaultRunMe);
        QCOMPARE(ModeOnDisk(S("Pack/P/A")), 3);
        QCOMPARE(ModeOnDisk(S("Pack/P/B")), 2);
        QTRY_COMPARE_WITH_TIMEOUT(Runs().size(), 1, HangMs);
        QCOMPARE(Runs()[0].name, defaultRunMe);
        QCOMPARE(Runs()[0].args, S("-h"));
        QCOMPARE(Runs()[0].dir, Physical(S("Pack/P/A")));
    }

    void normalWindows_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::addColumn<QByteArray>("display");
        QTest::newRow("no terminal: like hidden") << false << QByteArray(":0");
        QTest::newRow("x-terminal-emulator") << true << QByteArray(":0");
        QTest::newRow("x-terminal-emulator on Wayland") << true << QByteArray("wayland-0");
        QTest::newRow("terminal but no display: like hidden") << true << QByteArray();
    }

    void normalWindows()
    {
        QFETCH(bool, terminal);
        QFETCH(QByteArray, display);
        const QByteArray savedDisplay = qgetenv("DISPLAY");
        const QByteArray savedWayland = qgetenv("WAYLAND_DISPLAY");
        auto restore = qScopeGuard([&] {
            qputenv("DISPLAY", savedDisplay);
            qputenv("WAYLAND_DISPLAY", savedWayland);
        });
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        if (!display.isEmpty())
            qputenv(display.startsWith("wayland") ? "WAYLAND_DISPLAY" : "DISPLAY", display);
        const QString bin = m_dir->path() + S("/bin");
        QDir().mkpath(bin);
        if (terminal) {
            const QString fake = bin + S("/x-terminal-emulator");
            WriteBytes(fake, "#!/bin/sh\n[ \"$1\" = -T ] && shift 2\n[ \"$1\" = -e ] && shift\necho terminal >> '" +
                                 m_log.toUtf8() + "'\nexec \"$@\"\n");
            QFile::setPermissions(fake, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        testfiles::addSandbox(bin);
        qputenv("PATH", bin.toUtf8());
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 2")});
        OptionTree tree;
        Scan(tree);
        ProgramSettings.HideShell = false;
        TApplyForm form(nullptr);
        bool shown = false;
        connect(&form, &QDialog::finished, this, [&] { shown = true; });

        ApplyChanges(tree, FindNode(tree, S("Pack/P/A")), m_root, &form);
        QVERIFY(!shown);
        QTRY_COMPARE_WITH_TIMEOUT(Runs().size(), 2, HangMs);
        QSet<QString> names;
        for (const Run &r : Runs()) {
            names.insert(r.name);
            QCOMPARE(r.args, QString());
            QCOMPARE(r.dir, Physical(S("Pack/P/A")));
        }
        QCOMPARE(names, (QSet<QString>{S("RunMe.sh"), S("RunMe2.sh")}));
        QTRY_COMPARE_WITH_TIMEOUT(readAll(m_log).count("terminal\n"),
                                  terminal && !display.isEmpty() ? 2 : 0, HangMs);
    }

    void firstScriptNotStartable_data()
    {
        QTest::addColumn<QByteArray>("runMe");
        QTest::addColumn<QString>("made"); // "folder": a sub-folder RunMe.sh; "link": Out.sh
        QTest::addColumn<bool>("outside");
        QTest::newRow("missing") << QByteArray("Missing.sh") << QString() << false;
        QTest::newRow("a sub-folder of that name") << QByteArray("RunMe.sh") << S("folder") << false;
        QTest::newRow("empty name") << QByteArray("") << QString() << false;
        QTest::newRow("up and out") << QByteArray("..\\..\\..\\..\\outside\\evil2.sh") << QString() << true;
        QTest::newRow("a link out") << QByteArray("Out.sh") << S("link") << true;
    }

    void firstScriptNotStartable()
    {
        QFETCH(QByteArray, runMe);
        QFETCH(QString, made);
        QFETCH(bool, outside);
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 2 noscript")});
        const QString dir = m_root + S("Pack/P/A/");
        WriteBytes(m_dir->path() + S("/outside/evil2.sh"), Script());
        if (made == S("folder")) // hidden from the tree, so it does not turn the option into a folder
            WriteBytes(dir + S("RunMe.sh/options.ini"), "[Mode]\nOptionMode=0\n");
        if (made == S("link"))
            QVERIFY(QFile::link(S("../../../../outside/evil2.sh"), dir + S("Out.sh")));
        WriteBytes(dir + S("RunMe2.sh"), Script());
        WriteBytes(dir + S("options.ini"), "[RunMe]\nOptionRunMeFName=" + runMe +
                                               "\nOptionRunMe2FName=RunMe2.sh\n[Mode]\n"
                                               "OptionMode=2\n[ProgramDelay]\n"
                                               "OptionProgramDelay=5000\n");
        TheStatusLine().Show(QString());
        OptionTree tree;
        Scan(tree);
        ProgramSettings.HideShell = true;
        TApplyForm form(nullptr);
        bool shown = false;
        connect(&form, &QDialog::finished, this, [&] { shown = true; });

        ApplyChanges(tree, FindNode(tree, S("Pack/P/A")), m_root, &form);
        QVERIFY(!shown); // no dialog, and so no 5 s wait
        QTRY_COMPARE_WITH_TIMEOUT(Runs().size(), 1, HangMs);
        QCOMPARE(Runs()[0].name, S("RunMe2.sh"));
        QCOMPARE(Runs()[0].args, QString());
        QCOMPARE(ModeOnDisk(S("Pack/P/A")), 3);
        QCOMPARE(TheStatusLine().Text().contains(S("not started")), outside);
    }

    void launcher_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("executable");
        QTest::addColumn<QStringList>("fakes"); // programs put on the PATH
        QTest::addColumn<bool>("started");
        QTest::addColumn<QString>("expected"); // "name|arguments" recorded

        const QByteArray bat = "@echo off\r\n";
        QTest::newRow(".sh through /bin/sh")
            << S("Run.sh") << QByteArray() << false << QStringList() << true << S("Run.sh|-h");
        QTest::newRow(".SH in capitals")
            << S("RUN.SH") << QByteArray() << false << QStringList() << true << S("RUN.SH|-h");
        QTest::newRow(".bat through wine cmd")
            << S("Run.bat") << bat << false << QStringList{S("wine")} << true
            << S("wine|cmd /c Run.bat -h");
        QTest::newRow(".CMD through wine cmd")
            << S("Run.CMD") << bat << false << QStringList{S("wine")} << true
            << S("wine|cmd /c Run.CMD -h");
        QTest::newRow(".bat without wine")
            << S("Run.bat") << bat << false << QStringList() << false << QString();
        QTest::newRow("executable file runs itself")
            << S("Install") << QByteArray() << true << QStringList() << true << S("Install|-h");
        QTest::newRow("document through xdg-open")
            << S("ReadMe.txt") << QByteArray("text") << false << QStringList{S("xdg-open")} << true
            << QString(); // checked below: the file alone
        QTest::newRow("document without xdg-open") << S("ReadMe.txt") << QByteArray("text") << false
                                                   << QStringList() << false << QString();
    }

    void launcher()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(bool, executable);
        QFETCH(QStringList, fakes);
        QFETCH(bool, started);
        QFETCH(QString, expected);
        const QString bin = m_dir->path() + S("/bin");
        const QString folder = m_dir->path() + S("/Opt/");
        QDir().mkpath(bin);
        QDir().mkpath(folder);
        for (const QString &fake : fakes) {
            WriteBytes(bin + QLatin1Char('/') + fake, Script());
            QFile::setPermissions(bin + QLatin1Char('/') + fake,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        testfiles::addSandbox(bin);
        qputenv("PATH", bin.toUtf8());
        WriteBytes(folder + file, content.isEmpty() ? Script() : content);
        if (executable)
            QFile::setPermissions(folder + file,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QCOMPARE(
            platform::shellOpen(folder + file, {S("-h")}, folder, platform::ShowCommand::Hidden),
            started);
        if (!started)
            return;
        QTRY_COMPARE_WITH_TIMEOUT(Runs().size(), 1, HangMs);
        const Run run = Runs()[0];
        if (expected.isEmpty())
            expected = S("xdg-open|") + QDir(folder).canonicalPath() + QLatin1Char('/') + file;
        QCOMPARE(run.name + QLatin1Char('|') + run.args, expected);
        QCOMPARE(run.dir, QDir(folder).canonicalPath());
    }

    void hiddenStreamsAreNull()
    {
        const QString folder = m_dir->path() + S("/Opt/");
        WriteBytes(folder + S("fds.sh"),
                   "a=$(readlink /proc/$$/fd/0)\nb=$(readlink /proc/$$/fd/1)\n"
                   "c=$(readlink /proc/$$/fd/2)\nprintf '%s\\n' \"$a\" \"$b\" \"$c\" > '" +
                       m_log.toUtf8() + "'\n");
        QVERIFY(platform::shellOpen(folder + S("FDS.sh"), {}, folder,
                                    platform::ShowCommand::Hidden)); // found ignoring case
        QTRY_COMPARE_WITH_TIMEOUT(readAll(m_log), QByteArray("/dev/null\n/dev/null\n/dev/null\n"),
                                  HangMs);
    }

    // ---- Progress dialog -------------------------------------------------------------------

    void tickDifference_data()
    {
        QTest::addColumn<quint32>("now");
        QTest::addColumn<quint32>("start");
        QTest::addColumn<quint32>("elapsed");
        QTest::newRow("plain") << 1500u << 1000u << 500u;
        QTest::newRow("same") << 7u << 7u << 0u;
        QTest::newRow("across the wrap") << 5u << 0xFFFFFFFBu << 10u;
        QTest::newRow("just after the wrap") << 0u << 0xFFFFFFFFu << 1u;
        QTest::newRow("start at the top") << 1999u << 0xFFFFFC18u << 2999u;
        QTest::newRow("high values") << 0x80000010u << 0x7FFFFFF0u << 0x20u;
    }

    void tickDifference()
    {
        QFETCH(quint32, now);
        QFETCH(quint32, start);
        QFETCH(quint32, elapsed);
        QCOMPARE(TickDifference(now, start), elapsed);
    }

    void dialogSettings_data()
    {
        QTest::addColumn<int>("delay");
        QTest::addColumn<int>("runsFor");
        QTest::addColumn<int>("interval");
        QTest::newRow("0") << 0 << 20 << 1;
        QTest::newRow("negative") << -5 << 20 << 1;
        QTest::newRow("30") << 30 << 30 << 1;
        QTest::newRow("40") << 40 << 40 << 2;
        QTest::newRow("2000") << 2000 << 2000 << 100;
    }

    void dialogSettings()
    {
        QFETCH(int, delay);
        QFETCH(int, runsFor);
        QFETCH(int, interval);
        CurrentOption = TCurrentOption();
        CurrentOption.OptionProgramDelay = delay;
        TApplyForm form(nullptr);
        int seenInterval = -1, seenMin = -1, seenMax = -1, seenValue = -1;
        QTimer::singleShot(0, &form, [&] {
            seenInterval = form.Timer1()->interval();
            seenMin = form.ProgressBar1()->minimum();
            seenMax = form.ProgressBar1()->maximum();
            seenValue = form.ProgressBar1()->value();
        });
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, &form, [&form] { form.done(99); });
        watchdog.start(runsFor + 20000);

        QElapsedTimer clock;
        clock.start();
        const int result = form.exec();
        QVERIFY(result != 99);                   // closed itself
        QVERIFY(clock.elapsed() >= runsFor - 1); // both clocks count whole milliseconds
        QCOMPARE(CurrentOption.OptionProgramDelay, runsFor);
        QCOMPARE(seenInterval, interval);
        QCOMPARE(seenMin, 0);
        QCOMPARE(seenMax, runsFor);
        QVERIFY(seenValue >= 0 && seenValue < runsFor);
        QVERIFY(!form.Timer1()->isActive());
    }

    void dialogLooks()
    {
        QWidget owner;
        owner.setGeometry(200, 150, 641, 480);
        owner.show();
        TApplyForm form(&owner);
        QCOMPARE(form.objectName(), S("ApplyForm"));
        QCOMPARE(form.windowTitle(), QString());
        const Qt::WindowFlags flags = form.windowFlags();
        QVERIFY(flags & Qt::CustomizeWindowHint);
        QVERIFY(!(flags & (Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                           Qt::WindowContextHelpButtonHint)));
        QCOMPARE(form.label1()->objectName(), S("label1"));
        QCOMPARE(form.label1()->text(), S("Processing Changes..."));
        QCOMPARE(form.ProgressBar1()->objectName(), S("ProgressBar1"));
        QCOMPARE(form.Timer1()->objectName(), S("Timer1"));

        CurrentOption.OptionProgramDelay = 60000;
        form.show();
        // The title bar shows nothing: neither a caption nor the application's name.
        QCOMPARE(form.windowTitle(), QString());
        QVERIFY(!form.windowHandle()->title().isEmpty());
        QCOMPARE(form.windowHandle()->title().trimmed(), QString());
        QCOMPARE(form.size(), QSize(232, 56));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QVERIFY(form.label1()->geometry().bottom() < form.ProgressBar1()->geometry().top());
        QVERIFY(form.label1()->x() < 20 && form.label1()->y() < 20);
        const QRect o = owner.frameGeometry();
        const QRect w = form.frameGeometry();
        QCOMPARE(w.topLeft(), QPoint(o.left() + (o.width() - w.width()) / 2,
                                     o.top() + (o.height() - w.height()) / 2));
        // The user cannot end the count-down.
        QTest::keyClick(&form, Qt::Key_Escape);
        QVERIFY(form.isVisible());
        QVERIFY(form.Timer1()->isActive());
        form.done(0);
        QVERIFY(!form.Timer1()->isActive());
    }

    // ---- Clicks on the tree ----------------------------------------------------------------

    void iconHitTestMatchesWhatIsDrawn()
    {
        QStandardItemModel model;
        QPixmap magenta(16, 16);
        magenta.fill(Qt::magenta);
        auto *parent = new QStandardItem(QIcon(magenta), S("Folder with a long caption"));
        auto *child = new QStandardItem(QIcon(magenta), S("Option"));
        parent->appendRow(child);
        parent->appendRow(new QStandardItem(S("No icon here")));
        model.appendRow(parent);
        QTreeView view;
        view.setModel(&model);
        view.setHeaderHidden(true);
        view.setIconSize(QSize(16, 16));
        view.setIndentation(19);
        view.resize(300, 200);
        view.expandAll();
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view, HangMs));
        view.clearSelection();
        view.setCurrentIndex({});

        const QImage image = view.viewport()->grab().toImage();
        const qreal dpr = image.devicePixelRatio();
        int magentaPixels = 0;
        QRect drawn;
        for (int y = 0; y < view.viewport()->height(); ++y) {
            for (int x = 0; x < view.viewport()->width(); ++x) {
                const QPoint p(x, y);
                const QColor c = image.pixelColor(int(x * dpr), int(y * dpr));
                const bool isIcon = c == QColor(Qt::magenta);
                if (isIcon) {
                    ++magentaPixels;
                    drawn = drawn.united(QRect(p, QSize(1, 1)));
                }
                QCOMPARE(IsOnStateIcon(&view, p) && !isIcon, false);
                if (isIcon)
                    QVERIFY(IsOnStateIcon(&view, p));
            }
        }
        QCOMPARE(magentaPixels, 2 * 16 * 16);
        const QModelIndex childIndex = model.index(0, 0, model.index(0, 0));
        const QRect childIcon = StateIconRect(&view, childIndex);
        QCOMPARE(childIcon.size(), QSize(16, 16));
        // The label, the expand arrow and the empty space below are no icon.
        QVERIFY(!IsOnStateIcon(&view, QPoint(childIcon.right() + 6, childIcon.center().y())));
        QVERIFY(!IsOnStateIcon(&view, QPoint(childIcon.left() - 10, childIcon.center().y())));
        QVERIFY(!IsOnStateIcon(&view, QPoint(childIcon.center().x(), 190)));
        QVERIFY(StateIconRect(&view, model.index(1, 0, model.index(0, 0))).isEmpty());
    }

    void clickFilterCountsADoubleClickOnce_data()
    {
        QTest::addColumn<QString>("gestures"); // c: click, d: double-click, r: right click
        QTest::addColumn<int>("clicks");
        QTest::newRow("click") << S("c") << 1;
        QTest::newRow("double-click") << S("d") << 1;
        QTest::newRow("two clicks apart") << S("cc") << 2;
        QTest::newRow("click, then a double-click") << S("cd") << 2;
        QTest::newRow("two double-clicks") << S("dd") << 2;
        QTest::newRow("right button") << S("r") << 0;
    }

    void clickFilterCountsADoubleClickOnce()
    {
        QFETCH(QString, gestures);
        QFETCH(int, clicks);
        QWidget window;
        window.resize(200, 100);
        auto *area = new QWidget(&window);
        area->setGeometry(20, 10, 150, 80);
        auto *filter = new TreeClickFilter(area);
        QList<QPoint> seen;
        connect(filter, &TreeClickFilter::clicked, this,
                [&seen](const QPoint &p) { seen.append(p); });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window, HangMs));
        const QPoint at(30, 40); // in the watched widget
        const QPoint inWindow = area->mapTo(&window, at);
        // Through the window system, as real input arrives.
        for (const QChar g : gestures) {
            if (g == QLatin1Char('c'))
                QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, inWindow);
            else if (g == QLatin1Char('d'))
                QTest::mouseDClick(window.windowHandle(), Qt::LeftButton, {}, inWindow);
            else
                QTest::mouseClick(window.windowHandle(), Qt::RightButton, {}, inWindow);
        }
        QCOMPARE(seen.size(), clicks);
        for (const QPoint &p : std::as_const(seen))
            QCOMPARE(p, at);
    }

    void clicksInTheOptionTree()
    {
        Layout({S("Pack 7"), S("Pack/P 7"), S("Pack/P/A 3"), S("Pack/P/B 2"),
                S("Pack/P/N - noscript"), S("Pack/P/W 6")});
        QWidget window;
        auto *view = new QTreeView(&window);
        view->setObjectName(S("TreeView1"));
        view->resize(300, 300);
        OptionTreeController controller(view, new QLabel(&window), new QToolButton(&window),
                                        new QToolButton(&window));
        controller.UpdateTreeView();
        controller.sbtnExpandClick();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window, HangMs));
        ProgramSettings.HideShell = false;

        // What the main window does with a click, once the tree has selected the node.
        auto click = [&](const QString &rel, bool onIcon) {
            const QModelIndex index = controller.IndexOf(FindNode(controller.Tree(), rel));
            const QRect icon = StateIconRect(view, index);
            const QRect item = view->visualRect(index);
            QVERIFY(!icon.isEmpty());
            const QPoint pos =
                onIcon ? icon.center() : QPoint(icon.right() + 12, item.center().y());
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, pos);
            QCOMPARE(controller.SelectedNode(), FindNode(controller.Tree(), rel));
            if (IsOnStateIcon(view, pos)) {
                OptionNode *node = controller.SelectedNode();
                if (node && IsSelectable(node->StateIndex))
                    ApplyChanges(controller, node, nullptr);
            }
        };

        const QMap<QString, QByteArray> before = Snapshot();
        click(S("Pack/P/B"), false); // the label
        click(S("Pack/P/N"), true);  // Notice
        click(S("Pack/P/W"), true);  // LinkEntry
        click(S("Pack/P"), true);    // folder
        QCOMPARE(Snapshot(), before);
        QCOMPARE(FindNode(controller.Tree(), S("Pack/P/B"))->StateIndex, int(CheckOff));

        const QModelIndex b = controller.IndexOf(FindNode(controller.Tree(), S("Pack/P/B")));
        const QRect bIcon = StateIconRect(view, b);
        const QImage iconBefore = view->viewport()->grab(bIcon).toImage();
        click(S("Pack/P/B"), true);
        QCOMPARE(ModeOnDisk(S("Pack/P/B")), 3);
        QCOMPARE(ModeOnDisk(S("Pack/P/A")), 2);
        QCOMPARE(ModeOnDisk(S("Pack/P/N")), 1);
        QCOMPARE(qvariant_cast<QIcon>(b.data(Qt::DecorationRole)).pixmap(16).toImage(),
                 StateIcons::ForState(CheckOn).pixmap(16).toImage());
        QTRY_VERIFY_WITH_TIMEOUT(view->viewport()->grab(bIcon).toImage() != iconBefore, HangMs);
        QTRY_COMPARE_WITH_TIMEOUT(Runs().size(), 2, HangMs);
    }
};

QTEST_MAIN(TestApply)
#include "tst_apply.moc"
