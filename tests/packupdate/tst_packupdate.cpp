// The pack update without a window: archives of each format made at test time and served from
// 127.0.0.1, verified, unpacked, carried over and swapped into a real pack folder.

#include "PackFixtures.h"
#include "common/HttpTestServer.h"
#include "common/Waits.h"
#include "history/InstallHistory.h"
#include "packupdate/ArchiveUnpack.h"
#include "packupdate/Minisign.h"
#include "packupdate/PackInstall.h"
#include "packupdate/PackSwap.h"
#include "ini/IniFile.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using fixtures::Entry;
using packupdate::PackInstall;

namespace {

QString S(const char *text)
{
    return QString::fromUtf8(text);
}

QString ini(const QString &path, const char *section, const char *key)
{
    return platform::IniFile::readString(path, S(section), S(key), S("<none>"));
}

/// The installed pack, version 1.0: options A (2, off), B (3, on, marked), Grp/C (4, off) and
/// Gone (5, on), a settings file with the player's toggles and window sizes, a shipped theme
/// and one of the player's own, and the program's link.
void makeOldPack(const QString &pack)
{
    const QString o = pack + S("Options/");
    fixtures::write(o + S("A/options.ini"), "[Mode]\nOptionMode=2\n");
    fixtures::write(o + S("A/RunMe.sh"), "#!/bin/sh\n", true);
    fixtures::write(o + S("B/options.ini"), "[Mode]\nOptionMode=3\n");
    fixtures::write(o + S("B/RunMe.sh"), "#!/bin/sh\n", true);
    fixtures::write(o + S("B/Selected.ini"), "[Mode]\nSelected=1\n");
    fixtures::write(o + S("Grp/C/options.ini"), "[Mode]\nOptionMode=4\n");
    fixtures::write(o + S("Grp/C/RunMe.sh"), "#!/bin/sh\n", true);
    fixtures::write(o + S("Gone/options.ini"), "[Mode]\nOptionMode=5\n");
    fixtures::write(o + S("Gone/RunMe.sh"), "#!/bin/sh\n", true);
    fixtures::write(o + S("Welcome.txt"), "old welcome\n");
    fixtures::write(pack + S("varimond.ini"),
                    "[VersionInfo]\nUserInterface=1.0\nUrlVersionInfo=http://old/v.ini\n"
                    "[Settings]\nHideShell=1\nCheckInterfaceMode=0\nPgmFirstRun=0\n"
                    "[MainWindowSizes]\nWindowWidth=777\n[ActiveTheme]\nThemeName=Mine\n");
    fixtures::write(pack + S("Themes/Shipped.ini"), "[Options]\nold\n");
    fixtures::write(pack + S("Themes/Mine.ini"), "[Options]\nmine\n");
    fixtures::write(pack + S("Docs/OldReadMe.txt"), "only in 1.0\n");
    fixtures::write(pack + S("Notes.txt"), "the player's\n");
    fixtures::write(packupdate::UpdateFolder(pack) + S("installed"), QByteArray("Docs").toHex() + "\n");
    QFile::link(S("/bin/true"), pack + S("varimond"));
}

/// Version 2.0 as an archive's entries, under @p top ("" or "Pack-2.0/").
std::vector<Entry> newVersion(const QByteArray &top)
{
    return {
        {top + "Options/A/options.ini", "[Mode]\nOptionMode=2\n"},
        {top + "Options/A/RunMe.sh", "#!/bin/sh\necho 2\n", Entry::File, 0777},
        {top + "Options/B/options.ini", "[Mode]\nOptionMode=4\n"},
        {top + "Options/B/RunMe.sh", "#!/bin/sh\necho 2\n", Entry::File, 0755},
        {top + "Options/Grp/C/options.ini", "[Mode]\nOptionMode=5\n"},
        {top + "Options/Grp/C/RunMe.sh", "#!/bin/sh\n", Entry::File, 0755},
        {top + "Options/New/options.ini", "[Mode]\nOptionMode=2\n"},
        {top + "Options/New/RunMe.sh", "#!/bin/sh\n", Entry::File, 0755},
        {top + "Options/Welcome.txt", "new welcome\n", Entry::File, 0600},
        {top + "Options/ReadMe.lnk", "Welcome.txt", Entry::Link},
        {top + "varimond.ini", "[VersionInfo]\nUserInterface=2.0\nUrlVersionInfo=http://new/v.ini\n"
                               "[Settings]\nHideShell=0\nShowThemesMenu=1\n"},
        {top + "Themes/Shipped.ini", "[Options]\nnew\n"},
        {top + "NewReadMe.txt", "only in 2.0\n"},
    };
}

QByteArray sha256Of(const QString &path)
{
    return QCryptographicHash::hash(fixtures::read(path), QCryptographicHash::Sha256).toHex();
}

} // namespace

class TestPackUpdate : public QObject
{
    Q_OBJECT

private:
    HttpTestServer m_server;
    QTemporaryDir m_keys;
    QTemporaryDir m_stateHome;
    QString m_publicKey;

    /// Signs @p file with the test key, the trusted comment naming @p version (none when
    /// empty); the .minisig text, or empty.
    QString sign(const QString &file, bool legacy = false, const QString &version = S("2.0"))
    {
        QProcess p;
        QStringList args{S("-S"), S("-s"), m_keys.filePath(S("k.sec")), S("-m"), file};
        if (!version.isEmpty())
            args << S("-t") << S("version:") + version;
        if (legacy)
            args.append(S("-l"));
        p.start(S("minisign"), args);
        p.closeWriteChannel();
        if (!p.waitForFinished(HangMs) || p.exitCode() != 0)
            return {};
        return QString::fromUtf8(fixtures::read(file + S(".minisig")));
    }

    /// Serves @p archive under /pack.<suffix> and returns the [Package] it would be published
    /// with.
    packupdate::PackageInfo publish(const QString &archive, const QString &suffix)
    {
        const QString route = S("/pack") + suffix;
        m_server.set(
            route,
            Route{Route::Whole, 200, fixtures::read(archive), {}, "application/octet-stream"});
        packupdate::PackageInfo info;
        info.archive = m_server.url(route);
        info.sha256 = sha256Of(archive);
        info.size = QFileInfo(archive).size();
        info.version = S("2.0");
        return info;
    }

    /// Runs one install to its end; whether it succeeded.
    static bool run(PackInstall &install, const packupdate::PackageInfo &info, const QString &pack,
                    const QString &key = QString())
    {
        packupdate::InstallTarget target{pack, S("varimond.ini"), S("varimond"), S("1.0"), key};
        QSignalSpy done(&install, &PackInstall::finished);
        install.start(info, target);
        if (!done.wait(HangMs))
            return false;
        return done.first().first().toBool();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        // The packs' state folders (their update files) in a throw-away place.
        QVERIFY(m_stateHome.isValid());
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_stateHome.path()));
        QVERIFY(m_server.start());
        QVERIFY(m_keys.isValid());
        QProcess p;
        p.start(S("minisign"), {S("-G"), S("-W"), S("-p"), m_keys.filePath(S("k.pub")), S("-s"),
                                m_keys.filePath(S("k.sec"))});
        QVERIFY2(p.waitForFinished(HangMs) && p.exitCode() == 0, "minisign is needed");
        m_publicKey = QString::fromUtf8(fixtures::read(m_keys.filePath(S("k.pub"))));
        QVERIFY(packupdate::IsMinisignPublicKey(m_publicKey));
    }

    void readsPackageSection_data()
    {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<bool>("valid");
        const QByteArray sha(64, 'a');
        QTest::newRow("complete") << QByteArray("Archive=https://x.org/p.tar.xz\nSHA256=" + sha +
                                                "\nSize=10\n")
                                  << true;
        QTest::newRow("upper-case hash")
            << QByteArray("Archive=https://x.org/p.7z\nSHA256=" + sha.toUpper() + "\nSize=10\n")
            << true;
        QTest::newRow("ftp") << QByteArray("Archive=ftp://x.org/p.zip\nSHA256=" + sha +
                                           "\nSize=10\n")
                             << false;
        QTest::newRow("rar") << QByteArray("Archive=https://x.org/p.rar\nSHA256=" + sha +
                                           "\nSize=10\n")
                             << false;
        QTest::newRow("short hash")
            << QByteArray("Archive=https://x.org/p.zip\nSHA256=abc\nSize=10\n") << false;
        QTest::newRow("no size") << QByteArray("Archive=https://x.org/p.zip\nSHA256=" + sha + "\n")
                                 << false;
        QTest::newRow("size 0") << QByteArray("Archive=https://x.org/p.zip\nSHA256=" + sha +
                                              "\nSize=0\n")
                                << false;
        QTest::newRow("size -5") << QByteArray("Archive=https://x.org/p.zip\nSHA256=" + sha +
                                               "\nSize=-5\n")
                                 << false;
        QTest::newRow("over 4 GiB")
            << QByteArray("Archive=https://x.org/p.zip\nSHA256=" + sha + "\nSize=4294967297\n")
            << false;
        QTest::newRow("file signature address")
            << QByteArray("Archive=https://x.org/p.zip\nSHA256=" + sha +
                          "\nSize=1\nSignatureUrl=file:///etc/passwd\n")
            << false;
    }
    void readsPackageSection()
    {
        QFETCH(QByteArray, section);
        QFETCH(bool, valid);
        QTemporaryDir dir;
        const QString path = dir.filePath(S("NewVersionInfo.ini"));
        fixtures::write(path, "[VersionInfo]\nUserInterface=2.0\n[Package]\n" + section);
        packupdate::PackageInfo info;
        QString why;
        QCOMPARE(packupdate::ReadPackageInfo(path, info, &why), valid);
        QCOMPARE(why.isEmpty(), valid);
        if (valid) {
            QCOMPARE(info.version, S("2.0"));
            QCOMPARE(info.sha256, QByteArray(64, 'a'));
        }
    }

    void signatures_data()
    {
        QTest::addColumn<bool>("legacy");
        QTest::addColumn<QString>("change"); // what is done to the signed file or signature
        QTest::addColumn<bool>("good");
        QTest::newRow("pre-hashed") << false << QString() << true;
        QTest::newRow("legacy") << true << QString() << true;
        QTest::newRow("file changed") << false << S("file") << false;
        QTest::newRow("trusted comment changed") << false << S("comment") << false;
        QTest::newRow("other key") << false << S("key") << false;
        QTest::newRow("unsigned") << false << S("none") << false;
    }
    void signatures()
    {
        QFETCH(bool, legacy);
        QFETCH(QString, change);
        QFETCH(bool, good);
        QTemporaryDir dir;
        const QString file = dir.filePath(S("a.zip"));
        fixtures::write(file, QByteArray(100000, 'x'));
        QString signature = sign(file, legacy);
        QVERIFY(!signature.isEmpty());
        QString key = m_publicKey;
        if (change == S("file"))
            fixtures::write(file, QByteArray(100000, 'y'));
        else if (change == S("comment"))
            signature.replace(S("trusted comment: "), S("trusted comment: x"));
        else if (change == S("none"))
            signature.clear();
        else if (change == S("key")) {
            QProcess p;
            p.start(S("minisign"), {S("-G"), S("-W"), S("-p"), dir.filePath(S("o.pub")), S("-s"),
                                    dir.filePath(S("o.sec"))});
            QVERIFY(p.waitForFinished(HangMs));
            key = QString::fromUtf8(fixtures::read(dir.filePath(S("o.pub"))));
        }
        const QString why = packupdate::VerifyMinisign(file, signature, key);
        QVERIFY2(why.isEmpty() == good, qPrintable(why));
    }

    void installsUpdate_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QByteArray>("top");
        QTest::addColumn<QString>("signature"); // "", "inline" or "address"
        QTest::addColumn<bool>("otherDrive");   // the pack on another file system than its state
        QTest::newRow("zip") << S("zip") << QByteArray() << QString() << false;
        QTest::newRow("tar.gz in a folder")
            << S("tar.gz") << QByteArray("Pack-2.0/") << QString() << false;
        QTest::newRow("tar.xz signed") << S("tar.xz") << QByteArray() << S("inline") << false;
        QTest::newRow("7z in a folder, signed")
            << S("7z") << QByteArray("Pack-2.0/") << S("inline") << false;
        QTest::newRow("zip, signature by address")
            << S("zip") << QByteArray() << S("address") << false;
        QTest::newRow("tar.gz in a folder, pack on another drive")
            << S("tar.gz") << QByteArray("Pack-2.0/") << QString() << true;
    }
    void installsUpdate()
    {
        QFETCH(QString, format);
        QFETCH(QByteArray, top);
        QFETCH(QString, signature);
        QFETCH(bool, otherDrive);
        const bool withSignature = !signature.isEmpty();
        const QString drive = fixtures::otherFileSystem(m_stateHome.path());
        if (otherDrive && drive.isEmpty())
            QSKIP("No writable file system apart from the state folder's to put the pack on");
        QTemporaryDir dir(otherDrive ? drive + S("/varimond-pack-XXXXXX") : QString());
        const QString pack = dir.filePath(S("pack/"));
        makeOldPack(pack);
        const QString archive = dir.filePath(S("p.") + format);
        QVERIFY(fixtures::makeArchive(archive, format, newVersion(top)));
        packupdate::PackageInfo info = publish(archive, S(".") + format);
        if (signature == S("inline")) {
            info.signature = sign(archive);
        } else if (signature == S("address")) {
            m_server.page(S("/pack.minisig"), sign(archive).toUtf8());
            info.signatureUrl = m_server.url(S("/pack.minisig"));
        }
        auto oldTree = fixtures::snapshot(pack, true);
        // The program's link stays in the pack, and so does a file that is not the pack's.
        oldTree.remove(S("varimond"));
        oldTree.remove(S("Notes.txt"));

        PackInstall install;
        QVERIFY2(run(install, info, pack, withSignature ? m_publicKey : QString()),
                 qPrintable(install.message()));

        // The new version's files, with modes masked, and the old one's kept aside whole.
        QCOMPARE(fixtures::read(pack + S("Options/Welcome.txt")), QByteArray("new welcome\n"));
        QCOMPARE(fixtures::read(pack + S("NewReadMe.txt")), QByteArray("only in 2.0\n"));
        QCOMPARE(fixtures::read(pack + S("Notes.txt")), QByteArray("the player's\n"));
        QVERIFY(!QFileInfo::exists(pack + S("Docs"))); // the last update's, gone in 2.0
        QCOMPARE(QFileInfo(pack + S("Options/A/RunMe.sh")).permissions() & 0x7777,
                 QFileInfo(pack + S("Options/B/RunMe.sh")).permissions() & 0x7777);
        QCOMPARE(QFileInfo(pack + S("Options/Welcome.txt")).permissions() & 0x7777,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser |
                     QFile::ReadGroup | QFile::ReadOther);
        QCOMPARE(QFileInfo(pack + S("Options/ReadMe.lnk")).symLinkTarget(),
                 QFileInfo(pack + S("Options/Welcome.txt")).absoluteFilePath());
        QCOMPARE(fixtures::snapshot(packupdate::UpdateFolder(pack) + S("previous-1.0")), oldTree);
        QCOMPARE(QFileInfo(pack + S("varimond")).symLinkTarget(), S("/bin/true"));
        QVERIFY(!QFileInfo::exists(packupdate::UpdateFolder(pack) + S("staging")));
        QVERIFY(!QFileInfo::exists(packupdate::UpdateFolder(pack) + S("journal")));
        QCOMPARE(QDir(pack).entryList({S(".varimond-swap-*")}, QDir::AllEntries | QDir::Hidden),
                 QStringList());

        // The player's selections: B stays on (in the new version's 4/5 kind), C stays off
        // although 2.0 ships it on, A stays off; the marker moved with B.
        const QString o = pack + S("Options/");
        QCOMPARE(ini(o + S("A/options.ini"), "Mode", "OptionMode"), S("2"));
        QCOMPARE(ini(o + S("B/options.ini"), "Mode", "OptionMode"), S("5"));
        QCOMPARE(ini(o + S("Grp/C/options.ini"), "Mode", "OptionMode"), S("4"));
        QCOMPARE(ini(o + S("New/options.ini"), "Mode", "OptionMode"), S("2"));
        QVERIFY(QFileInfo(o + S("B/Selected.ini")).isFile());
        QCOMPARE(install.carried().missing, QStringList{S("Gone")});
        QVERIFY(install.message().contains(S("Gone")));

        // Settings: the player's toggles, sizes and theme; the new version's addresses and
        // version, and its own new keys.
        const QString settings = pack + S("varimond.ini");
        QCOMPARE(ini(settings, "Settings", "HideShell"), S("1"));
        QCOMPARE(ini(settings, "Settings", "CheckInterfaceMode"), S("0"));
        QCOMPARE(ini(settings, "Settings", "ShowThemesMenu"), S("1"));
        QCOMPARE(ini(settings, "MainWindowSizes", "WindowWidth"), S("777"));
        QCOMPARE(ini(settings, "ActiveTheme", "ThemeName"), S("Mine"));
        QCOMPARE(ini(settings, "VersionInfo", "UserInterface"), S("2.0"));
        QCOMPARE(ini(settings, "VersionInfo", "UrlVersionInfo"), S("http://new/v.ini"));

        // Themes: the player's own one carried, the shipped one replaced.
        QCOMPARE(fixtures::read(pack + S("Themes/Mine.ini")), QByteArray("[Options]\nmine\n"));
        QCOMPARE(fixtures::read(pack + S("Themes/Shipped.ini")), QByteArray("[Options]\nnew\n"));
    }

    void refusesBadArchive_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("wrong SHA-256") << S("sha") << S("SHA-256");
        QTest::newRow("smaller than announced") << S("short") << S("not the");
        QTest::newRow("larger than announced") << S("long") << S("larger than");
        QTest::newRow("bad signature") << S("badsig") << S("signature does not match");
        QTest::newRow("unsigned, key set") << S("unsigned") << S("not signed");
        QTest::newRow("pack's key is no minisign key")
            << S("badkey") << S("not a minisign public key");
        QTest::newRow("zip-slip") << S("slip") << S("leads out");
        QTest::newRow("absolute name") << S("absolute") << S("absolute");
        QTest::newRow("link out") << S("linkout") << S("link that leads out");
        QTest::newRow("link to a link out")
            << S("linkchain") << S("leads out of the pack or nowhere");
        QTest::newRow("write through a link") << S("through") << S("through a link");
        QTest::newRow("device") << S("device") << S("device");
        QTest::newRow("FIFO") << S("fifo") << S("FIFO");
        QTest::newRow("hard link") << S("hardlink") << S("hard link");
        QTest::newRow("name twice") << S("twice") << S("twice");
        QTest::newRow("no Options folder") << S("nooptions") << S("Options");
        QTest::newRow("not an archive") << S("garbage") << S("cannot be read");
        QTest::newRow("bomb of 5 GiB") << S("bomb") << S("times its size");
        QTest::newRow("one file over 4 GiB") << S("bigfile") << S("more than 4294967296 bytes");
        QTest::newRow("server error") << S("404") << S("HTTP 404");
        QTest::newRow("link up from the top folder") << S("topup") << S("leads out of the pack");
        QTest::newRow("link up from a group") << S("deepup") << S("leads out of the pack");
        QTest::newRow("1.0 replayed as 9.9") << S("replay") << S("signed as version 1.0, not 9.9");
        QTest::newRow("signature names no version") << S("noversion") << S("names no version");
        QTest::newRow("archive says another version") << S("otherini") << S("names version 2.0, not the 9.9");
        QTest::newRow("older version") << S("older") << S("not newer than the installed version 1.0");
    }
    void refusesBadArchive()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString pack = dir.filePath(S("pack/"));
        makeOldPack(pack);
        const QString outside = dir.filePath(S("outside.txt"));
        fixtures::write(outside, "keep\n");

        std::vector<Entry> entries = newVersion(QByteArray());
        QString format = S("tar.gz");
        if (kind == S("slip"))
            entries.push_back({"Options/../../x.txt", "x"});
        else if (kind == S("absolute"))
            entries.push_back({QFile::encodeName(outside), "overwritten"});
        else if (kind == S("linkout"))
            entries.push_back({"Options/out", "../../outside.txt", Entry::Link});
        else if (kind == S("linkchain")) {
            entries.push_back({"Options/up", "..", Entry::Link});
            entries.push_back({"Options/A/l", "../up/..", Entry::Link});
        } else if (kind == S("through")) {
            entries.push_back({"Options/dir", "A", Entry::Link});
            entries.push_back({"Options/dir/x.txt", "x"});
        } else if (kind == S("device"))
            entries.push_back({"Options/null", {}, Entry::Device});
        else if (kind == S("fifo"))
            entries.push_back({"Options/pipe", {}, Entry::Fifo});
        else if (kind == S("hardlink"))
            entries.push_back({"Options/h", "Options/A/RunMe.sh", Entry::HardLink});
        else if (kind == S("twice"))
            entries.push_back({"NewReadMe.txt", "again"});
        else if (kind == S("topup") || kind == S("deepup")) {
            entries = newVersion("Pack-2.0/");
            entries.push_back(kind == S("topup") ? Entry{"Pack-2.0/up", "..", Entry::Link}
                                                 : Entry{"Pack-2.0/Options/Grp/D", "../../..", Entry::Link});
        } else if (kind == S("replay"))
            entries[10].content = "[VersionInfo]\nUserInterface=1.0\n"; // varimond.ini
        else if (kind == S("nooptions"))
            entries = {{"ReadMe.txt", "no options"}, {"Other/x.txt", "x"}};
        else if (kind == S("badsig") || kind == S("unsigned") || kind == S("badkey") ||
                 kind == S("sha") || kind == S("short") || kind == S("long") || kind == S("404") ||
                 kind == S("garbage"))
            format = S("zip");

        const QString archive = dir.filePath(S("p.") + format);
        if (kind == S("bomb"))
            QVERIFY(fixtures::makeZeroBomb(archive, 5, qint64(1024) * 1024 * 1024));
        else if (kind == S("bigfile"))
            QVERIFY(fixtures::makeZeroBomb(archive, 1, qint64(5) * 1024 * 1024 * 1024));
        else if (kind == S("garbage"))
            fixtures::write(archive, QByteArray(5000, 'g'));
        else
            QVERIFY(fixtures::makeArchive(archive, format, entries));
        packupdate::PackageInfo info = publish(archive, S(".") + format);
        QString key;
        if (kind == S("sha"))
            info.sha256 = QByteArray(64, '0');
        else if (kind == S("short"))
            info.size += 1;
        else if (kind == S("long"))
            info.size -= 1;
        else if (kind == S("badsig")) {
            info.signature = sign(archive);
            fixtures::write(archive, fixtures::read(archive) + "x");
            info = publish(archive, S(".zip"));
            info.signature = sign(dir.filePath(S("p.zip")) + S(".minisig")); // another file's
            key = m_publicKey;
        } else if (kind == S("unsigned")) {
            key = m_publicKey;
        } else if (kind == S("badkey")) {
            info.signature = sign(archive);
            key = S("RWQ-not-a-key");
        } else if (kind == S("404"))
            info.archive = m_server.url(S("/missing.zip"));
        else if (kind == S("older"))
            info.version = S("0.9");
        if (kind == S("replay") || kind == S("noversion") || kind == S("otherini")) {
            info.signature = sign(archive, false, kind == S("replay") ? S("1.0")
                                                  : kind == S("otherini") ? S("9.9") : QString());
            info.version = kind == S("noversion") ? info.version : S("9.9");
            key = m_publicKey;
        }

        const auto before = fixtures::snapshot(pack);
        PackInstall install;
        QVERIFY(!run(install, info, pack, key));
        QVERIFY2(install.message().contains(reason), qPrintable(install.message()));
        QCOMPARE(fixtures::snapshot(pack), before);
        QCOMPARE(fixtures::read(outside), QByteArray("keep\n"));
        QVERIFY(!QFileInfo::exists(dir.filePath(S("x.txt"))));
    }

    void cancelLeavesNothing()
    {
        QTemporaryDir dir;
        const QString pack = dir.filePath(S("pack/"));
        makeOldPack(pack);
        m_server.set(S("/slow.zip"),
                     Route{Route::Drip, 200, QByteArray(100000, 'z'), {}, "application/zip", 50});
        packupdate::PackageInfo info;
        info.archive = m_server.url(S("/slow.zip"));
        info.sha256 = QByteArray(64, '0');
        info.size = 100000;
        info.version = S("2.0");
        const auto before = fixtures::snapshot(pack);
        PackInstall install;
        QSignalSpy progress(&install, &PackInstall::progress);
        QSignalSpy done(&install, &PackInstall::finished);
        install.start(info, {pack, S("varimond.ini"), S("varimond"), S("1.0"), QString()});
        QTRY_VERIFY_WITH_TIMEOUT(progress.count() > 0, HangMs);
        install.cancel();
        QVERIFY(!install.isRunning());
        // The cancel joined the download's and the unpack's threads: whatever they sent is
        // queued by now.
        QCoreApplication::sendPostedEvents();
        QCOMPARE(done.count(), 0);
        QCOMPARE(fixtures::snapshot(pack), before);
    }

    void nextUpdateTakesOutWhatTheLastPutIn()
    {
        QTemporaryDir dir;
        const QString pack = dir.filePath(S("pack/"));
        makeOldPack(pack);
        const QString archive = dir.filePath(S("p.zip"));
        QVERIFY(fixtures::makeArchive(archive, S("zip"), newVersion(QByteArray())));
        PackInstall install;
        QVERIFY2(run(install, publish(archive, S(".zip")), pack), qPrintable(install.message()));
        // 3.0 no longer has NewReadMe.txt, which 2.0 brought.
        std::vector<Entry> three = newVersion(QByteArray());
        three.erase(std::remove_if(three.begin(), three.end(),
                                   [](const Entry &e) { return e.name == "NewReadMe.txt"; }),
                    three.end());
        for (Entry &e : three)
            e.content.replace("UserInterface=2.0", "UserInterface=3.0");
        QVERIFY(fixtures::makeArchive(archive, S("zip"), three));
        packupdate::InstallTarget target{pack, S("varimond.ini"), S("varimond"), S("2.0"), {}};
        QSignalSpy done(&install, &PackInstall::finished);
        packupdate::PackageInfo info = publish(archive, S(".zip"));
        info.version = S("3.0");
        install.start(info, target);
        QVERIFY(done.wait(HangMs));
        QVERIFY2(done.first().first().toBool(), qPrintable(install.message()));
        QVERIFY(!QFileInfo::exists(pack + S("NewReadMe.txt")));
        QCOMPARE(fixtures::read(packupdate::UpdateFolder(pack) + S("previous-2.0/NewReadMe.txt")),
                 QByteArray("only in 2.0\n"));
        QCOMPARE(fixtures::read(pack + S("Notes.txt")), QByteArray("the player's\n"));
    }

    void stagingLinkPlantedByThePack()
    {
        // A pack handed round with a link where the staging folder goes: the link is removed,
        // never what it names.
        QTemporaryDir dir;
        const QString pack = dir.filePath(S("pack/"));
        makeOldPack(pack);
        const QString outside = dir.filePath(S("home"));
        fixtures::write(outside + S("/precious.txt"), "keep\n");
        QDir().mkpath(pack + S(".varimond-update"));
        QVERIFY(QFile::link(outside, pack + S(".varimond-update/staging")));
        const QString archive = dir.filePath(S("p.zip"));
        QVERIFY(fixtures::makeArchive(archive, S("zip"), newVersion(QByteArray())));
        PackInstall install;
        QVERIFY2(run(install, publish(archive, S(".zip")), pack), qPrintable(install.message()));
        QCOMPARE(fixtures::read(outside + S("/precious.txt")), QByteArray("keep\n"));
        QCOMPARE(fixtures::read(pack + S("NewReadMe.txt")), QByteArray("only in 2.0\n"));
    }

    void recordedInTheHistoryAndRestorable()
    {
        QTemporaryDir dir;
        const QString pack = dir.filePath(S("pack/"));
        makeOldPack(pack);
        QFile settings(pack + S("varimond.ini"));
        QVERIFY(settings.open(QIODevice::Append));
        settings.write("[History]\nFolders=Options\n");
        settings.close();
        history::InstallHistory &h = history::TheHistory();
        h.configure(pack, pack + S("varimond.ini"));
        QVERIFY(h.snapshotsOn());
        const auto oldOptions = fixtures::snapshot(pack + S("Options"));

        const QString archive = dir.filePath(S("p.zip"));
        QVERIFY(fixtures::makeArchive(archive, S("zip"), newVersion(QByteArray())));
        PackInstall install;
        QVERIFY2(run(install, publish(archive, S(".zip")), pack), qPrintable(install.message()));
        QVERIFY(fixtures::snapshot(pack + S("Options")) != oldOptions);

        const std::vector<history::InstallRecord> records = h.log()->list();
        QCOMPARE(records.size(), size_t(1));
        const history::InstallRecord &update = records.front();
        QCOMPARE(update.kind, S("update"));
        QCOMPARE(update.option, S("Pack update 1.0 to 2.0"));
        QVERIFY(!update.before.isEmpty());
        QVERIFY(!update.after.isEmpty());
        // Restore in the History window puts the previous version's options back.
        h.restore(update.id);
        QCOMPARE(fixtures::snapshot(pack + S("Options")), oldOptions);
    }
};

QTEST_GUILESS_MAIN(TestPackUpdate)
#include "tst_packupdate.moc"
