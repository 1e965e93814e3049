#pragma once

#include <QDialog>
#include <QString>

class DocumentPane;
class QLabel;
class QPushButton;

/// The page the About window's Home button opens; empty at start, kept for the whole run.
extern QString AboutHomeFName;

/// The About window: the About document in a small copy of the document pane, and the version.
/// Its size is set by the main window from the settings file while it is hidden; each showing
/// centres it over its owner and loads the documents afresh.
class TAboutForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TAboutForm(QWidget *owner);

    /// The version text of the program.
    static QString VersionText();
    static constexpr int MinimumWidth = 500;
    static constexpr int MinimumHeight = 300;

    DocumentPane *Pane() const { return m_pane; }
    QLabel *Label1() const { return m_label; }
    /// The line naming the game's Wine prefix in force.
    QLabel *WinePrefixLabel() const { return m_winePrefix; }
    /// The line naming the Wine that runs the scripts in that prefix.
    QLabel *WineBinaryLabel() const { return m_wineBinary; }
    QPushButton *OkayButton() const { return m_okay; }

    void FormShow();
    void FormActivate();
    /// Shows the About document set: ProgramSettings.AboutTxtFName and AboutHtmlFName in the
    /// options folder, and AboutHttpFName. Throws AppError ("Failed to Load Stream") when the
    /// text file cannot be read.
    void DisplayAboutFName();
    void DisplayAboutTxtFName(const QString &path);
    void DisplayAboutHtmlFName(const QString &path);
    void DisplayAboutHttpFName(const QString &address);

    void WebBrowser1DownloadBegin();
    void WebBrowser1DownloadComplete();
    void btnOkayClick();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    DocumentPane *m_pane = nullptr;
    QLabel *m_label = nullptr;
    QLabel *m_winePrefix = nullptr;
    QLabel *m_wineBinary = nullptr;
    QPushButton *m_okay = nullptr;
    QWidget *m_owner = nullptr;
};
