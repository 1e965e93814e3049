#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QTimer;

/// The platform's millisecond tick count: milliseconds of the monotonic clock, as an unsigned
/// 32-bit counter that wraps after about 49.7 days.
quint32 GetTickCount();

/// Milliseconds from @p start to @p now on the 32-bit tick counter, taken modulo 2^32 so that a
/// count-down across the counter's wrap still measures the right time.
quint32 TickDifference(quint32 now, quint32 start);

/// "Processing Changes...": the modal dialog that stays up for the option's delay while its
/// first script runs hidden, then closes itself. It has no caption and no title-bar buttons, and
/// the user cannot end it early (Escape and window-manager close requests are ignored).
class TApplyForm final : public QDialog
{
    Q_OBJECT

public:
    static constexpr int ClientWidth = 232;
    static constexpr int ClientHeight = 56;
    /// The shortest delay the dialog runs for, in milliseconds.
    static constexpr int MinimumDelay = 20;

    explicit TApplyForm(QWidget *owner);

    QLabel *label1() const { return m_label1; }
    QProgressBar *ProgressBar1() const { return m_progressBar1; }
    QTimer *Timer1() const { return m_timer1; }

    void FormCreate();
    void FormShow();
    void FormActivate();
    void Timer1Timer();
    void FormClose();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

public Q_SLOTS:
    void done(int result) override;

private:
    QLabel *m_label1;
    QProgressBar *m_progressBar1;
    QTimer *m_timer1;
    quint32 m_startTime = 0;
    int m_delay = MinimumDelay;
};
