#pragma once

#include "update/UpdateCheck.h"

#include <QDialog>
#include <QTimer>

#include <functional>

namespace packupdate {
class PackInstall;
}

class QCheckBox;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTextBrowser;
class QUrl;
class QWebEngineProfile;
class QWebEngineUrlSchemeHandler;
class QWebEngineView;

/// The update window: runs an update check each time it is shown and renders its progress,
/// verdict, message lines and notes page. Its modal result 6 means its Weblink button was
/// used; every other way of closing it gives another result.
class TCheckUpdateForm final : public QDialog
{
    Q_OBJECT
    /// Milliseconds without data after which a download counts as failed.
    Q_PROPERTY(int stallTimeout READ stallTimeout WRITE setStallTimeout)

public:
    static constexpr int WeblinkResult = 6;
    /// The window's result when a pack update was installed: the program starts again on it.
    static constexpr int UpdateInstalledResult = 7;
    explicit TCheckUpdateForm(QWidget *owner);
    ~TCheckUpdateForm() override;

    int stallTimeout() const { return m_check->stallTimeout(); }
    void setStallTimeout(int milliseconds) { m_check->setStallTimeout(milliseconds); }

    update::UpdateCheck *Check() const { return m_check; }
    packupdate::PackInstall *Install() const { return m_install; }
    /// Writes this run's settings into the settings file before an update carries them over.
    void setSaveSettings(std::function<void()> save) { m_saveSettings = std::move(save); }
    /// Null until the first notes page was shown.
    QWebEngineView *WebBrowser() const { return m_webBrowser; }

    /// Closes the window however it was opened: stops the countdown, ends the countdown for
    /// the rest of the run and drops a check still running.
    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void FormCreate();
    void FormShow();
    void FormActivate();
    void Timer1Timer();
    void btnContinueClick();
    void btnWeblinkClick();
    void btnInstallUpdateClick();
    void InstallFinished(bool ok);
    void render();
    void ShowNotes(const QString &path, const QUrl &address);
    QWebEngineView *ensureBrowser();

    update::UpdateCheck *m_check;
    QFrame *m_panel1 = nullptr;
    QLabel *m_lblUIVersion = nullptr;
    QLabel *m_lblProgramVersion = nullptr;
    QLabel *m_lblMessage1 = nullptr;
    QLabel *m_lblMessage2 = nullptr;
    QLabel *m_lblNewAvailableBetas = nullptr;
    QLabel *m_lblNewAvailableAddOns = nullptr;
    QStackedWidget *m_area = nullptr;
    QTextBrowser *m_richEdit1 = nullptr;
    QWebEngineProfile *m_profile = nullptr;
    QWebEngineView *m_webBrowser = nullptr;
    QWebEngineUrlSchemeHandler *m_notesServer = nullptr;
    int m_notesShown = 0;
    QCheckBox *m_cbCheckOnStartup = nullptr;
    QProgressBar *m_progressBar1 = nullptr;
    QPushButton *m_btnWeblink = nullptr;
    QPushButton *m_btnInstallUpdate = nullptr;
    packupdate::PackInstall *m_install;
    std::function<void()> m_saveSettings;
    QPushButton *m_btnContinue = nullptr;
    QTimer *m_timer1;
    int m_countdownTicks = 0;
};
