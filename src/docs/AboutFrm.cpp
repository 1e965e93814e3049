#include "docs/AboutFrm.h"

#include "core/Common.h"
#include "core/ErrorReport.h"
#include "core/FormUtils.h"
#include "docs/DocumentPane.h"
#include "wine/WineRunner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTextBrowser>
#include <QVBoxLayout>

QString AboutHomeFName;

namespace {

// A line naming a path and where it came from. A long path loses its start: the end names the
// prefix or the runner, the part worth seeing; the lead and the note stay whole.
void ShowPathLine(QLabel *label, const platform::DescribedPath &line)
{
    const QString full = line.text();
    label->setToolTip(full);
    const QFontMetrics metrics = label->fontMetrics();
    const int width = label->contentsRect().width();
    if (metrics.horizontalAdvance(full) <= width) {
        label->setText(full);
        return;
    }
    platform::DescribedPath shown = line;
    shown.path.clear();
    const int room = width - metrics.horizontalAdvance(shown.text());
    shown.path = metrics.elidedText(line.path, Qt::ElideLeft, qMax(room, 0));
    if (shown.path.isEmpty())
        shown.path = QString(QChar(0x2026));
    label->setText(shown.text());
}

} // namespace

// A fixed dialog border: a close box, and neither a maximise nor a minimise button.
TAboutForm::TAboutForm(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_owner(owner)
{
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About"));
    setMinimumSize(MinimumWidth, MinimumHeight);
    // FormCreate: the shared form font.
    QFont formFont = font();
    SetVistaFormFont(formFont);
    setFont(formFont);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_pane = new DocumentPane(this, QStringLiteral("PanelTop"));
    m_pane->UseHomeFName(&AboutHomeFName);
    layout->addWidget(m_pane, 1);

    // Which Wine prefix the game's files and the option scripts use.
    m_winePrefix = new QLabel(this);
    m_winePrefix->setObjectName(QStringLiteral("lblWinePrefix"));
    m_winePrefix->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_winePrefix->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_winePrefix->setContentsMargins(8, 4, 8, 4);
    layout->addWidget(m_winePrefix);
    // And which Wine runs the scripts there.
    m_wineBinary = new QLabel(this);
    m_wineBinary->setObjectName(QStringLiteral("lblWineBinary"));
    m_wineBinary->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_wineBinary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_wineBinary->setContentsMargins(8, 0, 8, 4);
    layout->addWidget(m_wineBinary);

    auto *bottom = new QHBoxLayout;
    bottom->setContentsMargins(8, 0, 8, 8);
    m_label = new QLabel(VersionText(), this);
    m_label->setObjectName(QStringLiteral("Label1"));
    m_label->setToolTip(QStringLiteral("Program Version"));
    m_okay = new QPushButton(QStringLiteral("OK"), this);
    m_okay->setObjectName(QStringLiteral("btnOkay"));
    m_okay->setToolTip(QStringLiteral("Close"));
    m_okay->setDefault(true);
    m_okay->setMinimumSize(75, 25);
    bottom->addWidget(m_label);
    bottom->addStretch(1);
    bottom->addWidget(m_okay);
    layout->addLayout(bottom);

    connect(m_okay, &QPushButton::clicked, this, &TAboutForm::btnOkayClick);
    connect(m_pane, &DocumentPane::downloadBegin, this, &TAboutForm::WebBrowser1DownloadBegin);
    connect(m_pane, &DocumentPane::downloadComplete, this,
            &TAboutForm::WebBrowser1DownloadComplete);
}

QString TAboutForm::VersionText()
{
    return QStringLiteral("Varimond v2.01");
}

void TAboutForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    // A fixed dialog border: the user cannot resize the window while it is shown. Its size
    // comes from the settings file, set while it is hidden, and is read back at exit.
    setFixedSize(size().expandedTo(QSize(MinimumWidth, MinimumHeight)));
    FormShow();
    // Activation follows the showing, so an error report opens over the visible window.
    QMetaObject::invokeMethod(this, &TAboutForm::FormActivate, Qt::QueuedConnection);
}

void TAboutForm::hideEvent(QHideEvent *event)
{
    QDialog::hideEvent(event);
    if (event->spontaneous())
        return;
    setMinimumSize(MinimumWidth, MinimumHeight);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
}

void TAboutForm::FormShow()
{
    CentreOver(this, m_owner);
    QFont memo = m_pane->RichEdit()->font();
    SetVistaMemoFont(memo);
    m_pane->RichEdit()->setFont(memo);
}

void TAboutForm::FormActivate()
{
    if (!isVisible())
        return;
    m_label->setText(VersionText());
    const platform::WineInForce wine = platform::wineInForce();
    ShowPathLine(m_winePrefix, platform::describePrefix(wine));
    ShowPathLine(m_wineBinary, platform::describeWine(wine, platform::OtherWineAnswers()));
    m_okay->setFocus();
    Guarded(this, [this] { DisplayAboutFName(); });
}

void TAboutForm::DisplayAboutFName()
{
    m_pane->DisplayFName(ProgramSettings.optionsRoot(), ProgramSettings.AboutTxtFName,
                         ProgramSettings.AboutHtmlFName, ProgramSettings.AboutHttpFName);
}

void TAboutForm::DisplayAboutTxtFName(const QString &path)
{
    m_pane->DisplayTxtFName(path);
}
void TAboutForm::DisplayAboutHtmlFName(const QString &path)
{
    m_pane->DisplayHtmlFName(path);
}
void TAboutForm::DisplayAboutHttpFName(const QString &address)
{
    m_pane->DisplayHttpFName(address);
}

void TAboutForm::WebBrowser1DownloadBegin()
{
    m_label->setText(QStringLiteral("Retreiving File"));
}

void TAboutForm::WebBrowser1DownloadComplete()
{
    m_label->setText(VersionText());
}

void TAboutForm::btnOkayClick()
{
    accept();
}
