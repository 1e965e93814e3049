#include "themes/ApplyThemeFrm.h"

#include "core/FormUtils.h"
#include "themes/ThemeApply.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

qint64 Now()
{
    QElapsedTimer clock;
    clock.start();
    return clock.msecsSinceReference();
}

QProgressBar *designBar(QWidget *parent, const char *name)
{
    // The design values; the window sets both bars up again before they are seen.
    auto *bar = new QProgressBar(parent);
    bar->setObjectName(QString::fromLatin1(name));
    bar->setRange(1, 10000);
    bar->setValue(5000);
    bar->setTextVisible(false);
    return bar;
}

QTimer *designTimer(QObject *parent, const char *name)
{
    auto *timer = new QTimer(parent);
    timer->setObjectName(QString::fromLatin1(name));
    timer->setInterval(100);
    return timer;
}

QString optionText(int number, int count)
{
    return QStringLiteral("Applying Option %1 of %2...").arg(number).arg(count);
}

} // namespace

// A title bar with an empty caption and no buttons at all.
TApplyThemeForm::TApplyThemeForm(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_label1(new QLabel(QStringLiteral("Applying Theme..."), this)),
      m_progressBar1(designBar(this, "ProgressBar1")),
      m_label2(new QLabel(optionText(1, 50), this)),
      m_progressBar2(designBar(this, "ProgressBar2")), m_timer1(designTimer(this, "Timer1")),
      m_timer2(designTimer(this, "Timer2"))
{
    setObjectName(QStringLiteral("ApplyThemeForm"));
    setWindowTitle(QString());
    setFixedSize(ClientWidth, ClientHeight);
    QFont f = font();
    SetVistaFormFont(f);
    setFont(f);

    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setAlignment(Qt::AlignCenter);
    m_label2->setObjectName(QStringLiteral("Label2"));
    m_label2->setAlignment(Qt::AlignCenter);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(4);
    layout->addWidget(m_label1);
    layout->addWidget(m_progressBar1);
    layout->addWidget(m_label2);
    layout->addWidget(m_progressBar2);

    connect(m_timer1, &QTimer::timeout, this, &TApplyThemeForm::Timer1Timer);
    connect(m_timer2, &QTimer::timeout, this, &TApplyThemeForm::Timer2Timer);
}

bool TApplyThemeForm::Run(ThemeApplication &application)
{
    m_application = &application;
    m_totalDelay = application.Plan().TotalDelay();
    m_label2->setText(optionText(1, static_cast<int>(application.Plan().Steps.size())));
    const QMetaObject::Connection step = connect(
        &application, &ThemeApplication::stepStarted, this,
        [this](int index, int count, int delay) { SetTimer2Delay(index + 1, count, delay); });
    const QMetaObject::Connection end = connect(&application, &ThemeApplication::finished, this,
                                                [this] { QDialog::done(QDialog::Accepted); });
    exec();
    disconnect(step);
    disconnect(end);
    m_application = nullptr;
    m_timer1->stop();
    m_timer2->stop();
    if (application.GetState() == ThemeApplication::State::Running)
        application.Abort();
    return application.GetState() == ThemeApplication::State::Complete;
}

void TApplyThemeForm::SetTimer2Delay(int number, int count, int delay)
{
    m_delay = std::max(delay, MinimumDelay);
    m_stepTime = Now();
    m_label2->setText(optionText(number, count));
    m_progressBar2->setRange(0, static_cast<int>(m_delay));
    m_progressBar2->setValue(0);
    m_timer2->start(static_cast<int>(std::max<qint64>(1, m_delay / 20)));
}

void TApplyThemeForm::FormShow()
{
    CentreOver(this, parentWidget());
}

void TApplyThemeForm::FormActivate()
{
    m_totalDelay = std::max<qint64>(m_totalDelay, MinimumDelay);
    m_startTime = Now();
    m_progressBar1->setRange(0, static_cast<int>(m_totalDelay));
    m_progressBar1->setValue(0);
    m_progressBar2->setRange(0, MinimumDelay);
    m_progressBar2->setValue(0);
    m_timer1->start(static_cast<int>(std::max<qint64>(1, m_totalDelay / 20)));
}

// The bars only show the time; the application decides when the window closes, so the last
// option's wait is never cut short.
void TApplyThemeForm::Timer1Timer()
{
    m_progressBar1->setValue(static_cast<int>(std::min(Now() - m_startTime, m_totalDelay)));
}

void TApplyThemeForm::Timer2Timer()
{
    m_progressBar2->setValue(static_cast<int>(std::min(Now() - m_stepTime, m_delay)));
}

void TApplyThemeForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return; // the window manager showing it again starts nothing new
    ShowEmptyCaption(this);
    FormShow();
    FormActivate();
    // The first script starts once the window is up, and only while this run still shows it.
    if (ThemeApplication *application = m_application) {
        QTimer::singleShot(0, this, [this, application] {
            if (m_application == application && isVisible())
                application->Start();
        });
    }
}

void TApplyThemeForm::closeEvent(QCloseEvent *event)
{
    // No close box: the user cannot break off a theme half applied. The program itself may
    // still close the window, as it does when it is asked to quit.
    if (event->spontaneous()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TApplyThemeForm::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TApplyThemeForm::done(int result)
{
    // Closed from outside (the program quitting): no further script starts.
    if (m_application)
        m_application->Abort();
    m_timer1->stop();
    m_timer2->stop();
    QDialog::done(result);
}
