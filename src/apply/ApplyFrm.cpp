#include "apply/ApplyFrm.h"

#include "core/FormUtils.h"
#include "options/OptionIni.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

quint32 GetTickCount()
{
    QElapsedTimer clock;
    clock.start();
    // The monotonic clock's reading, cut to 32 bits like the Windows tick count.
    return static_cast<quint32>(clock.msecsSinceReference());
}

quint32 TickDifference(quint32 now, quint32 start)
{
    return now - start; // unsigned arithmetic wraps modulo 2^32
}

// A title bar with an empty caption and no buttons at all.
TApplyForm::TApplyForm(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_label1(new QLabel(this)), m_progressBar1(new QProgressBar(this)), m_timer1(new QTimer(this))
{
    setObjectName(QStringLiteral("ApplyForm"));
    setWindowTitle(QString());
    setFixedSize(ClientWidth, ClientHeight);

    m_label1->setObjectName(QStringLiteral("label1"));
    m_label1->setText(QStringLiteral("Processing Changes..."));
    m_label1->move(8, 8);
    m_label1->adjustSize();

    // The stored layout values; the dialog replaces them before it is ever seen.
    m_progressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    m_progressBar1->setGeometry(8, 28, ClientWidth - 16, 17);
    m_progressBar1->setRange(1, 10000);
    m_progressBar1->setValue(5000);
    m_progressBar1->setTextVisible(false);

    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setInterval(100);
    connect(m_timer1, &QTimer::timeout, this, &TApplyForm::Timer1Timer);

    FormCreate();
}

void TApplyForm::FormCreate()
{
    QFont f = font();
    SetVistaFormFont(f);
    setFont(f);
}

void TApplyForm::FormShow()
{
    CentreOver(this, parentWidget());
}

void TApplyForm::FormActivate()
{
    if (CurrentOption.OptionProgramDelay < MinimumDelay)
        CurrentOption.OptionProgramDelay = MinimumDelay;
    m_delay = CurrentOption.OptionProgramDelay;
    m_startTime = GetTickCount();
    m_progressBar1->setRange(0, m_delay);
    m_progressBar1->setValue(0);
    m_timer1->setInterval(m_delay / 20);
    m_timer1->start();
}

void TApplyForm::Timer1Timer()
{
    const quint32 elapsed = TickDifference(GetTickCount(), m_startTime);
    if (static_cast<qint64>(elapsed) >= m_delay) {
        done(QDialog::Rejected);
    } else {
        m_progressBar1->setValue(static_cast<int>(elapsed));
    }
}

void TApplyForm::FormClose()
{
    m_timer1->stop();
}

void TApplyForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return; // the window manager re-showing a minimised dialog starts no new count-down
    ShowEmptyCaption(this);
    FormShow();
    FormActivate();
}

void TApplyForm::closeEvent(QCloseEvent *event)
{
    // No close box: the user cannot end the count-down (Alt+F4 and the like are ignored). The
    // program itself may still close the dialog, as it does when it is asked to quit.
    if (event->spontaneous()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TApplyForm::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TApplyForm::done(int result)
{
    FormClose();
    QDialog::done(result);
}
