// The game's interface mode: reading and writing user.dat, and the dialog that shows the mode.
#include "common/TestFiles.h"
#include "common/Waits.h"
#include "core/Common.h"
#include "game/CheckUserInterfaceModeFrm.h"
#include "game/UserDat.h"
#include "files/Error.h"
#include "ini/IniFile.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <limits>
#include <memory>

using testfiles::readAll;
using testfiles::writeAll;

namespace {

const QString ChangeText =
    QStringLiteral("To use a custom interface the mode needs to be changed to CUSTOM");
const QString NotFoundText = QStringLiteral("The User.dat file was not found.");

/// Stands in for the main window: a hidden, checked SettingsCheckInterfaceModeItem in a
/// Settings menu.
struct Owner
{
    QMainWindow window;
    QAction *item = nullptr;

    Owner()
    {
        window.setGeometry(200, 150, 800, 600);
        QMenu *settings = window.menuBar()->addMenu(QStringLiteral("Settings"));
        item = settings->addAction(QStringLiteral("Check Interface Mode"));
        item->setObjectName(QStringLiteral("SettingsCheckInterfaceModeItem"));
        item->setCheckable(true);
        item->setChecked(true);
        item->setVisible(false);
        window.show();
    }
};

/// Closes every message box that comes up while it lives and keeps what each said, so that an
/// unexpected error report fails a test instead of blocking it.
class ErrorBoxCatcher final : public QObject
{
public:
    struct Box
    {
        QString title, text;
        QMessageBox::Icon icon;
    };

    ErrorBoxCatcher()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                m_boxes.push_back({box->windowTitle(), box->text(), box->icon()});
                box->accept();
            }
        });
        m_timer.start(10);
    }

    const QList<Box> &boxes() const { return m_boxes; }

private:
    QTimer m_timer;
    QList<Box> m_boxes;
};

template <typename T> T *child(QWidget &parent, const char *name)
{
    T *w = parent.findChild<T *>(QString::fromLatin1(name));
    if (!w)
        qFatal("no child %s", name);
    return w;
}

} // namespace

class TestGame : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void userDataPathFollowsConfigFolder();
    void modeReadAndShown_data();
    void modeReadAndShown();
    void dialogLayout();
    void everyShowingRecomputes();
    void setCustomKeepsEveryOtherLine();
    void setCustomCreatesMissingFileAndFolders();
    void caseVariantIsReadAndWritten();
    void refusedWriteShowsErrorAndStaysOpen();
    void blockedFolderIsReported();
    void leavingTheDialog_data();
    void leavingTheDialog();
    void userDatInTheWinePrefix_data();
    void userDatInTheWinePrefix();

private:
    QString userDat() const
    {
        return m_config + QStringLiteral("/Electronic Arts/Dark Age of Camelot/user.dat");
    }

    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<ErrorBoxCatcher> m_errors;
    QString m_config;
    QString m_startFolder;
    QByteArray m_home, m_user, m_winePrefix;
};

void TestGame::initTestCase()
{
    QApplication::setApplicationDisplayName(QStringLiteral("Varimond"));
    m_startFolder = QDir::currentPath();
}

void TestGame::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_config = m_tmp->path() + QStringLiteral("/config");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config));
    // No Wine prefix of the machine's own user takes part.
    m_home = qgetenv("HOME");
    m_user = qgetenv("USER");
    m_winePrefix = qgetenv("WINEPREFIX");
    qputenv("HOME", QFile::encodeName(m_tmp->path() + QStringLiteral("/home")));
    qputenv("USER", "player");
    qunsetenv("WINEPREFIX");
    ProgramSettings = TProgramSettings();
    ProgramSettings.CheckInterfaceMode = true;
    m_errors = std::make_unique<ErrorBoxCatcher>();
}

void TestGame::cleanup()
{
    const bool expectedErrors =
        QTest::currentTestFunction() == QByteArrayLiteral("refusedWriteShowsErrorAndStaysOpen");
    if (!expectedErrors && !m_errors->boxes().isEmpty())
        QFAIL(qPrintable(QStringLiteral("unexpected message box: ") +
                         m_errors->boxes().front().text));
    m_errors.reset();
    QDir::setCurrent(m_startFolder);
    for (const auto &[name, value] : {std::pair{"HOME", m_home}, std::pair{"USER", m_user},
                                      std::pair{"WINEPREFIX", m_winePrefix}}) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    m_tmp.reset();
}

void TestGame::userDataPathFollowsConfigFolder()
{
    QCOMPARE(GetUserDataPath(), m_config + QStringLiteral("/Electronic Arts/Dark Age of Camelot/"));
    QCOMPARE(UserDatFileName(), userDat());

    // With no Wine prefix anywhere the configuration folder is the last fallback.
    QVERIFY(QDir().mkpath(m_tmp->path() + QStringLiteral("/home/.wine/drive_c/users/player")));
    QCOMPARE(UserDatFileName(), userDat());
    const QByteArray home = qgetenv("HOME");
    qunsetenv("XDG_CONFIG_HOME");
    qputenv("HOME", QFile::encodeName(m_tmp->path()));
    const QString fromHome = GetUserDataPath();
    qputenv("HOME", home);
    QCOMPARE(fromHome,
             m_tmp->path() + QStringLiteral("/.config/Electronic Arts/Dark Age of Camelot/"));
}

void TestGame::modeReadAndShown_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no user.dat
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("label2");
    QTest::addColumn<QString>("label3");
    QTest::addColumn<bool>("setCustomEnabled");

    QTest::newRow("custom") << QByteArray("[interface]\r\nitem1=7\r\n") << 7
                            << QStringLiteral("CUSTOM (7)") << QString() << false;
    QTest::newRow("atlantis") << QByteArray("[interface]\r\nitem1=0\r\n") << 0
                              << QStringLiteral("Atlantis (0)") << ChangeText << true;
    QTest::newRow("shrouded isle") << QByteArray("[interface]\r\nitem1=4\r\n") << 4
                                   << QStringLiteral("Shrouded Isle (4)") << ChangeText << true;
    QTest::newRow("hexadecimal") << QByteArray("[interface]\r\nitem1=0x4\r\n") << 4
                                 << QStringLiteral("Shrouded Isle (4)") << ChangeText << true;
    QTest::newRow("letters") << QByteArray("[interface]\r\nitem1=abc\r\n") << -1
                             << QStringLiteral("UNKNOWN (-1)") << NotFoundText << false;
    QTest::newRow("absent key") << QByteArray("[interface]\r\nitem2=0\r\n") << -1
                                << QStringLiteral("UNKNOWN (-1)") << NotFoundText << false;
    QTest::newRow("absent section") << QByteArray("[chat]\r\nitem1=0\r\n") << -1
                                    << QStringLiteral("UNKNOWN (-1)") << NotFoundText << false;
    QTest::newRow("missing file") << QByteArray() << -1 << QStringLiteral("UNKNOWN (-1)")
                                  << NotFoundText << false;
    QTest::newRow("unlisted value") << QByteArray("[interface]\r\nitem1=3\r\n") << 3
                                    << QStringLiteral("UNKNOWN (3)") << NotFoundText << false;
}

void TestGame::modeReadAndShown()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(QString, label2);
    QFETCH(QString, label3);
    QFETCH(bool, setCustomEnabled);

    if (!content.isNull())
        QVERIFY(writeAll(userDat(), content));
    ProgramSettings.GameInterfaceMode = 12345;
    LoadUserDatIniFile();
    QCOMPARE(ProgramSettings.GameInterfaceMode, mode);

    Owner owner;
    TCheckUserInterfaceModeForm dialog(&owner.window);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog, HangMs));
    QCOMPARE(child<QLabel>(dialog, "Label2")->text(), label2);
    QCOMPARE(child<QLabel>(dialog, "Label3")->text(), label3);
    QCOMPARE(child<QPushButton>(dialog, "btnSetCustom")->isEnabled(), setCustomEnabled);
    QVERIFY(child<QPushButton>(dialog, "btnOkay")->isEnabled());
    // The focus starts at Ok, never at the button that changes the game's file.
    QVERIFY(QTest::qWaitForWindowActive(&dialog, HangMs));
    QCOMPARE(QApplication::focusWidget(), child<QWidget>(dialog, "btnOkay"));
    if (!content.isNull())
        QCOMPARE(readAll(userDat()), content); // reading never touches the game's file
    else
        QVERIFY(!QFileInfo::exists(m_config));
}

void TestGame::dialogLayout()
{
    Owner owner;
    TCheckUserInterfaceModeForm dialog(&owner.window);
    QCOMPARE(dialog.objectName(), QStringLiteral("CheckUserInterfaceModeForm"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Check User Interface Mode"));
    QVERIFY(!(dialog.windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint |
                                      Qt::WindowSystemMenuHint | Qt::WindowContextHelpButtonHint)));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());

    auto *panel = child<QWidget>(dialog, "Panel1");
    auto *label1 = child<QLabel>(dialog, "Label1");
    auto *label2 = child<QLabel>(dialog, "Label2");
    auto *label3 = child<QLabel>(dialog, "Label3");
    auto *setCustom = child<QPushButton>(dialog, "btnSetCustom");
    auto *okay = child<QPushButton>(dialog, "btnOkay");
    auto *box = child<QCheckBox>(dialog, "cbDisableInterfaceModeCheck");
    QVERIFY(panel->isAncestorOf(label1) && panel->isAncestorOf(label2) &&
            panel->isAncestorOf(label3));
    QCOMPARE(label1->text(),
             QStringLiteral("The User Interface mode in DAOC is currently set to:"));
    QCOMPARE(label2->text(), QStringLiteral("CUSTOM"));
    QCOMPARE(setCustom->text(), QStringLiteral("Set to CUSTOM"));
    QCOMPARE(setCustom->toolTip(), QStringLiteral("Change setting to CUSTOM"));
    QVERIFY(!setCustom->isEnabled());
    QCOMPARE(okay->text(), QStringLiteral("Ok"));
    QCOMPARE(okay->toolTip(), QStringLiteral("Close"));
    QCOMPARE(box->text(), QStringLiteral("Disable this check on startup."));
    QVERIFY(!box->isChecked());

    // The widest texts fit the fixed size, and the size does not follow the text.
    ProgramSettings.GameInterfaceMode = std::numeric_limits<int>::min();
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog, HangMs));
    const QSize size = dialog.size();
    QVERIFY(label2->width() >= label2->sizeHint().width());
    QVERIFY(label3->width() >= label3->sizeHint().width());
    QVERIFY(label2->geometry().left() >= label1->geometry().right());
    QVERIFY(label3->geometry().top() > label1->geometry().bottom());

    // Escape does not close it: only the buttons do.
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
    QTest::mouseClick(okay, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), HangMs);

    ProgramSettings.GameInterfaceMode = 4;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog, HangMs));
    QCOMPARE(dialog.size(), size);
    QVERIFY(label3->width() >= label3->sizeHint().width());

    // Tab order: Set to CUSTOM, Ok, the tick box, and round again.
    setCustom->setFocus();
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), setCustom, HangMs);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), okay);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), box);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), setCustom);

    // Enter away from the buttons closes with Ok and never writes the game's file.
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), HangMs);
    QVERIFY(!QFileInfo::exists(m_config));
}

void TestGame::everyShowingRecomputes()
{
    Owner owner;
    TCheckUserInterfaceModeForm dialog(&owner.window);
    auto *label2 = child<QLabel>(dialog, "Label2");
    auto *setCustom = child<QPushButton>(dialog, "btnSetCustom");

    ProgramSettings.GameInterfaceMode = 0;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog, HangMs));
    QCOMPARE(label2->text(), QStringLiteral("Atlantis (0)"));
    QVERIFY(setCustom->isEnabled());
    // Centred over the owner, divisions truncating.
    const QRect o = owner.window.frameGeometry();
    const QRect w = dialog.frameGeometry();
    QCOMPARE(w.left(), o.left() + (o.width() - w.width()) / 2);
    QCOMPARE(w.top(), o.top() + (o.height() - w.height()) / 2);
    QTest::mouseClick(child<QPushButton>(dialog, "btnOkay"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), HangMs);

    owner.window.move(40, 30);
    ProgramSettings.GameInterfaceMode = -1;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog, HangMs));
    QCOMPARE(label2->text(), QStringLiteral("UNKNOWN (-1)"));
    QCOMPARE(child<QLabel>(dialog, "Label3")->text(), NotFoundText);
    QVERIFY(!setCustom->isEnabled());
    const QRect o2 = owner.window.frameGeometry();
    QCOMPARE(dialog.frameGeometry().left(), o2.left() + (o2.width() - w.width()) / 2);

    // The program itself may still close it, as it does at a termination signal.
    dialog.reject();
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), HangMs);
}

void TestGame::setCustomKeepsEveryOtherLine()
{
    const QByteArray before = "; written by the game\r\n"
                              "[main]\r\n"
                              "name=Player One\r\n"
                              "\r\n"
                              "[interface]\r\n"
                              "item0=12\r\n"
                              "; the mode\r\n"
                              "item1 = 0x0\r\n"
                              "item10=1\r\n"
                              "\r\n"
                              "[Interface2]\r\n"
                              "item1=4\r\n"
                              "[chat]\r\n"
                              "font=Verdana\r\n";
    QByteArray after = before;
    after.replace("item1 = 0x0\r\n", "item1=7\r\n");
    QVERIFY(writeAll(userDat(), before));

    // Started two folder levels deep: nothing may appear two levels up.
    const QString run = m_tmp->path() + QStringLiteral("/run");
    QVERIFY(QDir().mkpath(run + QStringLiteral("/a/b")));
    QVERIFY(QDir::setCurrent(run + QStringLiteral("/a/b")));

    LoadUserDatIniFile();
    QCOMPARE(ProgramSettings.GameInterfaceMode, 0);
    Owner owner;
    TCheckUserInterfaceModeForm dialog(&owner.window);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog, HangMs));
    QTest::mouseClick(child<QPushButton>(dialog, "btnSetCustom"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), HangMs);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));

    QCOMPARE(ProgramSettings.GameInterfaceMode, 7);
    QCOMPARE(readAll(userDat()), after);
    QVERIFY(!QFileInfo::exists(run + QStringLiteral("/user.dat")));
    QCOMPARE(QDir(run).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("a")});
    QCOMPARE(QDir(QFileInfo(userDat()).absolutePath())
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("user.dat")});
    QVERIFY(ProgramSettings.CheckInterfaceMode); // the check stays on

    // The next start finds CUSTOM.
    ProgramSettings.GameInterfaceMode = -1;
    LoadUserDatIniFile();
    QCOMPARE(ProgramSettings.GameInterfaceMode, 7);
}

void TestGame::setCustomCreatesMissingFileAndFolders()
{
    QVERIFY(writeAll(userDat(), "[interface]\r\nitem1=4\r\n"));
    LoadUserDatIniFile();
    Owner owner;
    TCheckUserInterfaceModeForm dialog(&owner.window);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog, HangMs));

    // The game's folder goes away while the dialog is open.
    QVERIFY(QDir(m_config).removeRecursively());
    QTest::mouseClick(child<QPushButton>(dialog, "btnSetCustom"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), HangMs);
    QVERIFY(QFileInfo(userDat()).isFile());
    QCOMPARE(platform::IniFile::readInteger(userDat(), QStringLiteral("interface"),
                                            QStringLiteral("item1"), -1),
             7);
}

void TestGame::caseVariantIsReadAndWritten()
{
    const QString variant =
        m_config + QStringLiteral("/electronic arts/Dark Age Of Camelot/User.dat");
    QVERIFY(writeAll(variant, "[interface]\r\nitem1=0\r\n"));
    LoadUserDatIniFile();
    QCOMPARE(ProgramSettings.GameInterfaceMode, 0);
    ProgramSettings.GameInterfaceMode = 7;
    SaveUserDatIniFile();
    QCOMPARE(readAll(variant), QByteArray("[interface]\r\nitem1=7\r\n"));
    QCOMPARE(QDir(m_config).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("electronic arts")});
}

void TestGame::refusedWriteShowsErrorAndStaysOpen()
{
    const QByteArray content = "[interface]\r\nitem1=4\r\n[other]\r\nx=1\r\n";
    QVERIFY(writeAll(userDat(), content));
    QVERIFY(
        QFile::setPermissions(userDat(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    LoadUserDatIniFile();
    Owner owner;
    TCheckUserInterfaceModeForm dialog(&owner.window);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog, HangMs));

    QTest::mouseClick(child<QPushButton>(dialog, "btnSetCustom"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(m_errors->boxes().size(), 1, HangMs);

    const ErrorBoxCatcher::Box &box = m_errors->boxes().front();
    QCOMPARE(box.title, QStringLiteral("Varimond"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, QStringLiteral("Unable to write to %1.").arg(userDat()));
    QVERIFY(dialog.isVisible());
    QCOMPARE(ProgramSettings.GameInterfaceMode, 7);
    QCOMPARE(readAll(userDat()), content);
    QCOMPARE(QFileInfo(userDat()).permissions() & QFile::WriteOwner, QFile::Permissions());

    // Still open and usable: Ok leaves it.
    QTest::mouseClick(child<QPushButton>(dialog, "btnOkay"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), HangMs);
}

void TestGame::blockedFolderIsReported()
{
    // A file where the game's publisher folder belongs: no folder can be made.
    QVERIFY(writeAll(m_config + QStringLiteral("/Electronic Arts"), "not a folder"));
    LoadUserDatIniFile();
    QCOMPARE(ProgramSettings.GameInterfaceMode, -1);
    ProgramSettings.GameInterfaceMode = 7;
    QString message;
    try {
        SaveUserDatIniFile();
    } catch (const AppError &e) {
        message = e.message();
    }
    QCOMPARE(message, QStringLiteral("Unable to write to %1").arg(userDat()));
    QCOMPARE(readAll(m_config + QStringLiteral("/Electronic Arts")), QByteArray("not a folder"));
}

void TestGame::leavingTheDialog_data()
{
    QTest::addColumn<bool>("ticked");
    QTest::addColumn<bool>("setCustom");
    QTest::addColumn<bool>("checkAfter");

    QTest::newRow("Ok, box ticked") << true << false << false;
    QTest::newRow("Ok, box unticked") << false << false << true;
    QTest::newRow("Set to CUSTOM, box ticked") << true << true << true;
}

void TestGame::leavingTheDialog()
{
    QFETCH(bool, ticked);
    QFETCH(bool, setCustom);
    QFETCH(bool, checkAfter);

    const QByteArray content = "[interface]\r\nitem1=0\r\n";
    QVERIFY(writeAll(userDat(), content));
    LoadUserDatIniFile();
    Owner owner;
    TCheckUserInterfaceModeForm dialog(&owner.window);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog, HangMs));
    auto *box = child<QCheckBox>(dialog, "cbDisableInterfaceModeCheck");
    if (ticked) {
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(box->isChecked());
    }
    QTest::mouseClick(child<QPushButton>(dialog, setCustom ? "btnSetCustom" : "btnOkay"),
                      Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), HangMs);

    QCOMPARE(ProgramSettings.CheckInterfaceMode, checkAfter);
    QCOMPARE(owner.item->isChecked(), checkAfter);
    QVERIFY(!owner.item->isVisible());
    QCOMPARE(readAll(userDat()), setCustom ? QByteArray("[interface]\r\nitem1=7\r\n") : content);

    // The setting reaches the settings file when the program saves it on exit.
    ProgramSettings.ProgramDir = m_tmp->path() + QStringLiteral("/program/");
    ProgramSettings.ProgramIniFName = QStringLiteral("varimond.ini");
    QVERIFY(QDir().mkpath(ProgramSettings.ProgramDir));
    SaveProgramIniFile(ProgramSettings, WindowStateAtClose());
    QCOMPARE(platform::IniFile::readString(ProgramSettings.iniPath(), QStringLiteral("Settings"),
                                           QStringLiteral("CheckInterfaceMode"), QString()),
             checkAfter ? QStringLiteral("1") : QStringLiteral("0"));
    TProgramSettings next;
    SecondaryWindowSizes sizes;
    next.ProgramDir = ProgramSettings.ProgramDir;
    next.ProgramIniFName = ProgramSettings.ProgramIniFName;
    LoadProgramIniFile(next, sizes);
    QCOMPARE(next.CheckInterfaceMode, checkAfter);
}

void TestGame::userDatInTheWinePrefix_data()
{
    QTest::addColumn<QStringList>("files"); // "path=mode@age": user.dat files below the root
    QTest::addColumn<QString>("pinned");    // [Wine] WinePrefix
    QTest::addColumn<QString>("env");       // $WINEPREFIX below the root
    QTest::addColumn<int>("chosen");        // index of the file read and written; -1: none
    QTest::addColumn<int>("mode");

    const QString game = QStringLiteral("AppData/Roaming/Electronic Arts/Dark Age of Camelot/");
    const QString wine = QStringLiteral("home/.wine/drive_c/users/player/") + game;
    const QString lutris = QStringLiteral("home/Games/daoc/drive_c/users/player/") + game;
    QTest::newRow("plain ~/.wine")
        << QStringList{wine + QStringLiteral("user.dat=0@5")} << QString() << QString() << 0 << 0;
    QTest::newRow("the newer of two prefixes")
        << QStringList{wine + QStringLiteral("user.dat=0@600"),
                       lutris + QStringLiteral("user.dat=4@30")}
        << QString() << QString() << 1 << 4;
    QTest::newRow("WINEPREFIX") << QStringList{wine + QStringLiteral("user.dat=0@5"),
                                               QStringLiteral("env/drive_c/users/player/") + game +
                                                   QStringLiteral("user.dat=4@500")}
                                << QString() << QStringLiteral("env") << 1 << 4;
    QTest::newRow("pinned, relative to the program folder")
        << QStringList{wine + QStringLiteral("user.dat=4@5"),
                       QStringLiteral("program/prefix/drive_c/users/player/") + game +
                           QStringLiteral("user.dat=0@500")}
        << QStringLiteral("prefix") << QStringLiteral("env") << 1 << 0;
    QTest::newRow("pinned prefix without the game")
        << QStringList{wine + QStringLiteral("user.dat=4@5")} << QStringLiteral("prefix")
        << QString() << -1 << -1;
}

void TestGame::userDatInTheWinePrefix()
{
    QFETCH(QStringList, files);
    QFETCH(QString, pinned);
    QFETCH(QString, env);
    QFETCH(int, chosen);
    QFETCH(int, mode);

    const QString root = QDir(m_tmp->path()).canonicalPath() + QLatin1Char('/');
    QStringList paths;
    QList<QByteArray> contents;
    const QDateTime now = QDateTime::currentDateTime();
    for (const QString &file : files) {
        const QString path = root + file.section(QLatin1Char('='), 0, 0);
        const QString rest = file.section(QLatin1Char('='), 1);
        const QByteArray content = "; the game's own\r\n[main]\r\nname=Player\r\n[interface]"
                                   "\r\nitem0=1\r\nitem1=" +
                                   rest.section(QLatin1Char('@'), 0, 0).toUtf8() +
                                   "\r\nitem2=3\r\n";
        QVERIFY(writeAll(path, content));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(now.addSecs(-rest.section(QLatin1Char('@'), 1).toInt()),
                              QFileDevice::FileModificationTime));
        paths << path;
        contents << content;
    }
    if (!env.isEmpty())
        qputenv("WINEPREFIX", QFile::encodeName(root + env));
    ProgramSettings.ProgramDir = root + QStringLiteral("program/");
    ProgramSettings.WinePrefix = pinned;

    LoadUserDatIniFile();
    QCOMPARE(ProgramSettings.GameInterfaceMode, mode);
    const QString expected =
        chosen >= 0 ? paths[chosen]
                    : root + QStringLiteral("program/prefix/drive_c/users/player/AppData/Roaming/"
                                            "Electronic Arts/Dark Age of Camelot/user.dat");
    QCOMPARE(ProgramSettings.GameUserDatFName, expected);

    // The dialog names the file it checked.
    Owner owner;
    TCheckUserInterfaceModeForm dialog(&owner.window);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog, HangMs));
    auto *line = child<QLabel>(dialog, "lblUserDatFName");
    QCOMPARE(line->toolTip(), expected);
    QVERIFY(line->isVisible());
    QVERIFY(line->geometry().top() > child<QLabel>(dialog, "Label3")->geometry().bottom());
    QVERIFY(line->text().startsWith(QStringLiteral("File: ")));
    QVERIFY(line->fontMetrics().horizontalAdvance(line->text()) <= line->width());
    if (line->text() != QStringLiteral("File: ") + expected)
        QVERIFY(line->text().contains(QChar(0x2026))); // shortened in the middle

    // Another prefix's user.dat changing meanwhile does not move the write.
    QVERIFY(writeAll(root + QStringLiteral("home/Games/later/drive_c/users/player/AppData/"
                                           "Roaming/Electronic Arts/Dark Age of Camelot/user.dat"),
                     "[interface]\r\nitem1=0\r\n"));
    if (mode == 0 || mode == 4) {
        QTest::mouseClick(child<QPushButton>(dialog, "btnSetCustom"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), HangMs);
    } else {
        QVERIFY(!child<QPushButton>(dialog, "btnSetCustom")->isEnabled());
        QTest::mouseClick(child<QPushButton>(dialog, "btnOkay"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), HangMs);
    }
    for (int i = 0; i < paths.size(); ++i) {
        QByteArray after = contents[i];
        if (i == chosen)
            after.replace(QByteArray("item1=") + QByteArray::number(mode),
                          QByteArrayLiteral("item1=7"));
        QCOMPARE(readAll(paths[i]), after);
    }
    if (chosen < 0)
        QVERIFY(!QFileInfo::exists(root + QStringLiteral("program/prefix")));
    QVERIFY(!QFileInfo::exists(m_config));
}

QTEST_MAIN(TestGame)
#include "tst_game.moc"
