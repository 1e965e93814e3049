#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QTimer;
class ThemeApplication;

/// "Applying Theme...": shown while a theme's scripts are started one after another. The upper
/// bar runs over the whole theme, the lower one over the current option's delay, and the label
/// between them names the option ("Applying Option 2 of 5..."). The window follows a
/// ThemeApplication and closes when it has finished. It has no caption and no title-bar
/// buttons; the user cannot end it early.
class TApplyThemeForm final : public QDialog
{
    Q_OBJECT

public:
    static constexpr int ClientWidth = 300;
    static constexpr int ClientHeight = 104;
    /// The shortest time either bar runs for, in milliseconds.
    static constexpr int MinimumDelay = 20;

    explicit TApplyThemeForm(QWidget *owner);

    /// Shows the window modally over its owner while @p application runs its steps: starts it
    /// once the window is up and closes when it finishes. Returns whether every step was made
    /// (false when the window was closed by the program first, which stops the application).
    bool Run(ThemeApplication &application);

    QLabel *Label1() const { return m_label1; }
    QLabel *Label2() const { return m_label2; }
    QProgressBar *ProgressBar1() const { return m_progressBar1; }
    QProgressBar *ProgressBar2() const { return m_progressBar2; }

    /// The lower bar and the label for option @p number (from 1) of @p count, over @p delay ms.
    void SetTimer2Delay(int number, int count, int delay);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

public Q_SLOTS:
    void done(int result) override;

private:
    void FormShow();
    void FormActivate();
    void Timer1Timer();
    void Timer2Timer();

    QLabel *m_label1;
    QProgressBar *m_progressBar1;
    QLabel *m_label2;
    QProgressBar *m_progressBar2;
    QTimer *m_timer1;
    QTimer *m_timer2;
    ThemeApplication *m_application = nullptr;
    qint64 m_totalDelay = MinimumDelay;
    qint64 m_delay = MinimumDelay;
    qint64 m_startTime = 0;
    qint64 m_stepTime = 0;
};
