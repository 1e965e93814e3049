#include "update/CheckUpdateFrm.h"

#include "core/FormUtils.h"
#include "docs/GuardedPage.h"
#include "packupdate/PackInstall.h"
#include "net/WebLink.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QTextFrame>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>
#include <QWebEngineView>

using update::CheckView;
using update::LabelColour;

namespace {

constexpr int TextSideMargin = 5;

/// The browser gets the notes page from the program, never from the server again: the page
/// shown is the file that was downloaded and checked. It is served under this scheme, which
/// has no rights on local files.
const char NotesScheme[] = "varimond-notes";

void registerNotesScheme()
{
    GuardedPage::registerOpaqueScheme(NotesScheme);
}
// Schemes must be known before the browser engine starts, which the first window may do.
Q_CONSTRUCTOR_FUNCTION(registerNotesScheme)

/// Serves the one notes page held in memory; every other address of the scheme fails.
class NotesPageServer final : public QWebEngineUrlSchemeHandler
{
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
    void setPage(const QUrl &url, const QByteArray &page)
    {
        m_url = url;
        m_page = page;
    }
    void requestStarted(QWebEngineUrlRequestJob *job) override
    {
        if (job->requestUrl().adjusted(QUrl::RemoveFragment) != m_url ||
            job->requestMethod() != "GET") {
            job->fail(QWebEngineUrlRequestJob::UrlNotFound);
            return;
        }
        auto *buffer = new QBuffer(job);
        buffer->setData(m_page);
        buffer->open(QIODevice::ReadOnly);
        job->reply("text/html", buffer);
    }

private:
    QUrl m_url;
    QByteArray m_page;
};

/// The notes page's view. Its base is the address it came from, so a link to a part of the
/// same page names that address; it is followed within the page held in memory instead of
/// fetching the page again.
/// Like every page of the program, it goes only where the program or the player sends it.
class NotesPage final : public GuardedPage
{
public:
    using GuardedPage::GuardedPage;
    QUrl shownUrl, sourceUrl;

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override
    {
        if (isMainFrame && type == NavigationTypeLinkClicked && url.hasFragment() &&
            !sourceUrl.isEmpty() && url.adjusted(QUrl::RemoveFragment) == sourceUrl) {
            // Asked through the rules: only the player's click goes on, as the program's load.
            if (!GuardedPage::acceptNavigationRequest(url, type, isMainFrame))
                return false;
            QUrl target = shownUrl;
            target.setFragment(url.fragment());
            QMetaObject::invokeMethod(
                this, [this, target] { setUrl(target); }, Qt::QueuedConnection);
            return false;
        }
        return GuardedPage::acceptNavigationRequest(url, type, isMainFrame);
    }
};

/// Refuses every local request of the notes page: whatever the page asks for, no file of
/// this machine is read on its behalf.
class NoLocalFiles final : public QWebEngineUrlRequestInterceptor
{
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        const QString scheme = info.requestUrl().scheme();
        if (scheme == QLatin1String("file") || scheme == QLatin1String("qrc"))
            info.block(true);
    }
};

QLabel *makeLabel(QWidget *parent, const char *name, const QString &text = QString())
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

void setColour(QLabel *label, LabelColour colour)
{
    QPalette palette = QApplication::palette(label);
    switch (colour) {
    case LabelColour::WindowText:
        break;
    case LabelColour::Blue:
        palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
        break;
    case LabelColour::DarkGreen:
        palette.setColor(QPalette::WindowText, QColor(0, 128, 0));
        break;
    case LabelColour::Red:
        palette.setColor(QPalette::WindowText, QColor(255, 0, 0));
        break;
    }
    label->setPalette(palette);
}

} // namespace

TCheckUpdateForm::TCheckUpdateForm(QWidget *owner)
    : QDialog(owner), m_check(new update::UpdateCheck(ProgramSettings, this)),
      m_install(new packupdate::PackInstall(this)), m_timer1(new QTimer(this))
{
    setObjectName(QStringLiteral("CheckUpdateForm"));
    setWindowTitle(QStringLiteral("Check for Updates"));
    // Sizeable, with close and maximise boxes and no minimise box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setSizeGripEnabled(true);
    setMinimumSize(500, 300);

    auto *outer = new QVBoxLayout(this);

    m_panel1 = new QFrame(this);
    m_panel1->setObjectName(QStringLiteral("Panel1"));
    m_panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    auto *grid = new QGridLayout(m_panel1);
    m_lblUIVersion = makeLabel(m_panel1, "lblUIVersion");
    m_lblProgramVersion = makeLabel(m_panel1, "lblProgramVersion");
    m_lblMessage1 = makeLabel(m_panel1, "lblMessage1");
    m_lblMessage2 = makeLabel(m_panel1, "lblMessage2");
    m_lblMessage1->setAlignment(Qt::AlignCenter);
    m_lblMessage2->setAlignment(Qt::AlignCenter);
    auto *lblAvailableBetas =
        makeLabel(m_panel1, "lblAvailableBetas", QStringLiteral("Available Betas:"));
    auto *lblAvailableAddOns =
        makeLabel(m_panel1, "lblAvailableAddOns", QStringLiteral("Available AddOns:"));
    lblAvailableBetas->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblAvailableAddOns->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_lblNewAvailableBetas = makeLabel(m_panel1, "lblNewAvailableBetas");
    m_lblNewAvailableBetas->setToolTip(QStringLiteral("New Available Betas"));
    m_lblNewAvailableAddOns = makeLabel(m_panel1, "lblNewAvailableAddOns");
    m_lblNewAvailableAddOns->setToolTip(QStringLiteral("New Available AddOns"));
    grid->addWidget(m_lblUIVersion, 0, 0);
    grid->addWidget(m_lblProgramVersion, 1, 0);
    grid->addWidget(m_lblMessage1, 0, 1);
    grid->addWidget(m_lblMessage2, 1, 1);
    grid->addWidget(lblAvailableBetas, 0, 2);
    grid->addWidget(lblAvailableAddOns, 1, 2);
    grid->addWidget(m_lblNewAvailableBetas, 0, 3);
    grid->addWidget(m_lblNewAvailableAddOns, 1, 3);
    grid->setColumnStretch(1, 1);
    outer->addWidget(m_panel1);

    // The message lines and the notes page share one area; the one brought forward last shows.
    m_area = new QStackedWidget(this);
    m_area->setObjectName(QStringLiteral("PanelDocument"));
    m_richEdit1 = new QTextBrowser(m_area);
    m_richEdit1->setObjectName(QStringLiteral("RichEdit1"));
    m_richEdit1->setOpenLinks(false);
    m_area->addWidget(m_richEdit1);
    outer->addWidget(m_area, 1);

    auto *bottom = new QHBoxLayout;
    m_cbCheckOnStartup = new QCheckBox(QStringLiteral("Check on startup"), this);
    m_cbCheckOnStartup->setObjectName(QStringLiteral("cbCheckOnStartup"));
    m_cbCheckOnStartup->setToolTip(QStringLiteral("Enable/Disable check on startup"));
    m_progressBar1 = new QProgressBar(this);
    m_progressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    m_progressBar1->setToolTip(QStringLiteral("Download Progress Bar"));
    m_progressBar1->setTextVisible(false);
    m_progressBar1->hide();
    m_btnWeblink = new QPushButton(this);
    m_btnWeblink->setObjectName(QStringLiteral("btnWeblink"));
    m_btnWeblink->setToolTip(QStringLiteral("Open weblink in default browser window"));
    m_btnWeblink->setAutoDefault(false);
    m_btnInstallUpdate = new QPushButton(QStringLiteral("Install Update"), this);
    m_btnInstallUpdate->setObjectName(QStringLiteral("btnInstallUpdate"));
    m_btnInstallUpdate->setAutoDefault(false);
    m_btnInstallUpdate->hide();
    m_btnContinue = new QPushButton(QStringLiteral("Continue"), this);
    m_btnContinue->setObjectName(QStringLiteral("btnContinue"));
    m_btnContinue->setToolTip(QStringLiteral("Close window"));
    m_btnContinue->setDefault(true);
    bottom->addWidget(m_cbCheckOnStartup);
    bottom->addWidget(m_progressBar1, 1);
    bottom->addStretch();
    bottom->addWidget(m_btnWeblink);
    bottom->addWidget(m_btnInstallUpdate);
    bottom->addWidget(m_btnContinue);
    outer->addLayout(bottom);

    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setInterval(250);
    connect(m_timer1, &QTimer::timeout, this, &TCheckUpdateForm::Timer1Timer);
    connect(m_btnContinue, &QPushButton::clicked, this, &TCheckUpdateForm::btnContinueClick);
    connect(m_btnWeblink, &QPushButton::clicked, this, &TCheckUpdateForm::btnWeblinkClick);
    connect(m_btnInstallUpdate, &QPushButton::clicked, this,
            &TCheckUpdateForm::btnInstallUpdateClick);
    connect(m_install, &packupdate::PackInstall::progress, this, [this](qint64 got, qint64 total) {
        // The bar counts KiB, so that archives beyond int's range fit.
        m_progressBar1->setMaximum(int(qMax<qint64>(total, 0) / 1024));
        m_progressBar1->setValue(int(got / 1024));
    });
    connect(m_install, &packupdate::PackInstall::stage, this, [this](const QString &text) {
        m_lblMessage2->setText(text);
        setColour(m_lblMessage2, LabelColour::Blue);
    });
    connect(m_install, &packupdate::PackInstall::finished, this,
            &TCheckUpdateForm::InstallFinished);
    connect(m_check, &update::UpdateCheck::changed, this, &TCheckUpdateForm::render);
    connect(m_check, &update::UpdateCheck::notesReady, this, &TCheckUpdateForm::ShowNotes);
    connect(m_check, &update::UpdateCheck::finished, this, [this] {
        if (m_check->countdownDue() && isVisible()) {
            m_timer1->start();
        }
    });
    FormCreate();
}

TCheckUpdateForm::~TCheckUpdateForm()
{
    // The page must go before the profile it was made with.
    delete m_webBrowser;
    m_webBrowser = nullptr;
}

void TCheckUpdateForm::FormCreate()
{
    QFont f = font();
    SetVistaFormFont(f);
    setFont(f);
}

void TCheckUpdateForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    FormShow();
    FormActivate();
}

void TCheckUpdateForm::FormShow()
{
    CentreOver(this, parentWidget());
    QFont memo = m_richEdit1->font();
    SetVistaMemoFont(memo);
    m_richEdit1->setFont(memo);
}

void TCheckUpdateForm::FormActivate()
{
    m_richEdit1->clear();
    m_lblUIVersion->setText(QStringLiteral("UI Version: ") + ProgramSettings.UserInterface);
    m_lblProgramVersion->setText(QStringLiteral("Varimond: ") + ProgramSettings.Varimond);
    m_timer1->stop();
    m_countdownTicks = 0;
    m_btnContinue->setText(QStringLiteral("Continue"));
    m_btnContinue->setFocus();
    m_cbCheckOnStartup->setChecked(ProgramSettings.CheckForUpdateMode);
    // The check renders the labels, the lines, the caption and the buttons from here on.
    m_check->Start();
}

void TCheckUpdateForm::render()
{
    const CheckView &v = m_check->view();
    setWindowTitle(v.caption);
    m_lblMessage1->setText(v.message1);
    setColour(m_lblMessage1, v.message1Colour);
    m_lblMessage2->setText(v.message2);
    setColour(m_lblMessage2, v.message2Colour);
    m_lblNewAvailableBetas->setText(v.newBetas);
    setColour(m_lblNewAvailableBetas, v.newBetasColour);
    m_lblNewAvailableAddOns->setText(v.newAddOns);
    setColour(m_lblNewAvailableAddOns, v.newAddOnsColour);
    m_btnWeblink->setText(v.weblinkCaption);
    if (!m_install->isRunning()) {
        m_btnInstallUpdate->setText(QStringLiteral("Install Update"));
        m_btnInstallUpdate->setToolTip(v.installHint);
        m_btnInstallUpdate->setVisible(v.installOffered);
    }

    const QString text = v.lines.isEmpty() ? QString() : v.lines.join(QLatin1Char('\n'));
    if (m_richEdit1->toPlainText() != text) {
        m_richEdit1->setPlainText(text);
        QTextFrame *root = m_richEdit1->document()->rootFrame();
        QTextFrameFormat format = root->frameFormat();
        format.setLeftMargin(TextSideMargin);
        format.setRightMargin(TextSideMargin);
        root->setFrameFormat(format);
    }
    if (v.front == CheckView::Front::Browser && m_webBrowser)
        m_area->setCurrentWidget(m_webBrowser);
    else if (v.front == CheckView::Front::Text)
        m_area->setCurrentWidget(m_richEdit1);

    // Sizes are capped far below int's range, so the bar's int values hold them.
    m_progressBar1->setMaximum(int(v.progressMax));
    m_progressBar1->setValue(int(qMin(v.progress, v.progressMax > 0 ? v.progressMax : v.progress)));
    m_progressBar1->setVisible(v.progressVisible);
}

QWebEngineView *TCheckUpdateForm::ensureBrowser()
{
    if (m_webBrowser)
        return m_webBrowser;
    // An off-the-record profile of its own: nothing the notes page stores outlives the run,
    // and its rules reach no other browser of the program.
    m_profile = new QWebEngineProfile(this);
    m_profile->setUrlRequestInterceptor(new NoLocalFiles(m_profile));
    m_notesServer = new NotesPageServer(m_profile);
    m_profile->installUrlSchemeHandler(NotesScheme, m_notesServer);
    QWebEngineSettings *settings = m_profile->settings();
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    settings->setAttribute(QWebEngineSettings::LocalStorageEnabled, false);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    m_webBrowser = new QWebEngineView(m_area);
    m_webBrowser->setObjectName(QStringLiteral("WebBrowser1"));
    auto *notes = new NotesPage(m_profile, m_webBrowser);
    m_webBrowser->setPage(notes);
    notes->watchPlayer(m_webBrowser);
    QWidget *front = m_area->currentWidget();
    m_area->addWidget(m_webBrowser);
    m_area->setCurrentWidget(front);
    return m_webBrowser;
}

void TCheckUpdateForm::ShowNotes(const QString &path, const QUrl &address)
{
    QWebEngineView *view = ensureBrowser();
    // The downloaded bytes, read once (the download held them to the cap), with the address
    // they came from as their base, so that relative links and images resolve against it.
    QFile file(path);
    QByteArray page;
    if (file.open(QIODevice::ReadOnly))
        page = file.read(update::UpdateCheck::MaxVersionNotesBytes);
    const QUrl shown(QStringLiteral("%1:NewVersionNotes-%2.html")
                         .arg(QLatin1String(NotesScheme))
                         .arg(++m_notesShown));
    static_cast<NotesPageServer *>(m_notesServer)
        ->setPage(shown, update::NotesWithBase(page, address));
    auto *notes = static_cast<NotesPage *>(view->page());
    notes->shownUrl = shown;
    notes->sourceUrl = address.adjusted(QUrl::RemoveFragment);
    view->load(shown);
    m_area->setCurrentWidget(view);
}

void TCheckUpdateForm::Timer1Timer()
{
    ++m_countdownTicks;
    m_btnContinue->setText(
        update::CountdownCaption(ProgramSettings.CheckUpdateDelay, m_countdownTicks));
    if (m_countdownTicks >= ProgramSettings.CheckUpdateDelay)
        close();
}

void TCheckUpdateForm::btnContinueClick()
{
    ProgramSettings.CheckForUpdateMode = m_cbCheckOnStartup->isChecked();
    done(QDialog::Accepted);
}

void TCheckUpdateForm::btnWeblinkClick()
{
    // Only web addresses open; the window closes with its Weblink result either way.
    platform::openWebAddress(ProgramSettings.UrlWeblinkPage);
    done(WeblinkResult);
}

void TCheckUpdateForm::btnInstallUpdateClick()
{
    if (m_install->isRunning()) {
        // The button is Cancel while the archive downloads.
        m_install->cancel();
        m_progressBar1->hide();
        m_btnInstallUpdate->setText(QStringLiteral("Install Update"));
        m_lblMessage2->setText(QStringLiteral("Update cancelled"));
        setColour(m_lblMessage2, LabelColour::Red);
        return;
    }
    packupdate::InstallTarget target;
    target.packDir = ProgramSettings.ProgramDir;
    target.iniName = ProgramSettings.ProgramIniFName;
    target.programName = ProgramSettings.ProgramName;
    target.oldVersion = ProgramSettings.UserInterface;
    target.publicKey = ProgramSettings.PublicKey;
    m_install->setBeforeCarryOver(m_saveSettings);
    m_timer1->stop();
    m_progressBar1->setMaximum(0);
    m_progressBar1->setValue(0);
    m_progressBar1->show();
    m_btnInstallUpdate->setText(QStringLiteral("Cancel"));
    m_install->start(m_check->package(), target);
}

void TCheckUpdateForm::InstallFinished(bool ok)
{
    m_progressBar1->hide();
    m_btnInstallUpdate->setText(QStringLiteral("Install Update"));
    if (!ok) {
        m_lblMessage1->setText(QStringLiteral("[** Update Error **]"));
        setColour(m_lblMessage1, LabelColour::Red);
        m_lblMessage2->setText(QStringLiteral("Nothing was changed"));
        setColour(m_lblMessage2, LabelColour::Red);
        m_richEdit1->setPlainText(m_install->message());
        m_area->setCurrentWidget(m_richEdit1);
        return;
    }
    m_btnInstallUpdate->hide();
    QMessageBox box(QMessageBox::Information, QStringLiteral("Install Update"),
                    m_install->message() +
                        QStringLiteral("\n\nVarimond starts again on the updated pack."),
                    QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("UpdateInstalledBox"));
    box.exec();
    done(UpdateInstalledResult);
}

void TCheckUpdateForm::done(int result)
{
    m_timer1->stop();
    m_install->cancel();
    ProgramSettings.CheckUpdateDelay = 0;
    m_check->Cancel();
    QDialog::done(result);
}
