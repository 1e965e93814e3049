#pragma once

#include "core/Common.h"
#include "packupdate/PackageInfo.h"
#include "net/Downloader.h"
#include "update/VersionInfo.h"

#include <QObject>
#include <QStringList>
#include <QUrl>

namespace update {

/// What the update window shows of one check; the window renders it after each change.
struct CheckView
{
    enum class Front { Text, Browser };

    QString caption;
    QString message1, message2;
    LabelColour message1Colour = LabelColour::WindowText;
    LabelColour message2Colour = LabelColour::WindowText;
    QString newBetas, newAddOns;
    LabelColour newBetasColour = LabelColour::WindowText;
    LabelColour newAddOnsColour = LabelColour::WindowText;
    QStringList lines; // the message lines of the text pane, in order
    Front front = Front::Text;
    QString weblinkCaption;
    /// The version file offers an archive of the new version that may be installed from here
    /// (signed for the pack's key, or served over https): the Install Update button shows.
    bool installOffered = false;
    QString installHint;
    bool progressVisible = false;
    qint64 progress = 0;
    qint64 progressMax = 0;
};

/// One update check, without a window: downloads the version file, compares it with the
/// installed values, downloads the notes page and reaches a verdict, in that order, driven by
/// the event loop. The published addresses and caption land in the settings record as soon as
/// the version file is read.
class UpdateCheck final : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 MaxVersionInfoBytes = 64 * 1024;
    static constexpr qint64 MaxVersionNotesBytes = 4 * 1024 * 1024;
    static constexpr int VersionInfoTotalMs = 30000;
    static constexpr int VersionNotesTotalMs = 120000;

    enum class Phase { Idle, VersionInfo, VersionNotes, Completed, Failed };

    explicit UpdateCheck(TProgramSettings &settings, QObject *parent = nullptr);
    ~UpdateCheck() override;
    Q_DISABLE_COPY_MOVE(UpdateCheck)

    static QString InProgressCaption()
    {
        return QStringLiteral("Checking for Updates [ In Progress ]");
    }
    static QString CompletedCaption()
    {
        return QStringLiteral("Checking for Updates [ Completed ]");
    }
    static QString FailedCaption() { return QStringLiteral("Checking for Updates [ Falied ]"); }
    /// Said when the pack names no key for its updates' signatures.
    static QString NotSignedText() { return QStringLiteral("This update is not signed"); }

    /// Sets up a clean state and starts the check; a check still running is abandoned.
    void Start();
    /// Abandons a running check: its results, also those already on their way, are dropped.
    void Cancel();

    /// The limits of the two downloads; tests shorten them.
    platform::DownloadLimits &versionInfoLimits() { return m_versionInfoLimits; }
    platform::DownloadLimits &versionNotesLimits() { return m_versionNotesLimits; }
    void setStallTimeout(int milliseconds);
    int stallTimeout() const { return m_versionInfoLimits.stallMs; }

    Phase phase() const { return m_phase; }
    const CheckView &view() const { return m_view; }
    bool newFilesFound() const { return m_newFilesFound; }
    /// True once a check reached "No new files available" and the countdown may run.
    bool countdownDue() const { return m_countdownDue; }

    /// The archive the version file offers, when installOffered is set in the view.
    const packupdate::PackageInfo &package() const { return m_package; }

    QString versionInfoPath() const;
    QString versionNotesPath() const;

Q_SIGNALS:
    void changed();
    /// The notes page arrived at @p path; @p address is where it came from.
    void notesReady(const QString &path, const QUrl &address);
    /// The check reached Completed or Failed.
    void finished();

private:
    void CheckVersionInfo(bool downloaded);
    void ShowVersionNotes(bool downloaded);
    void CheckForUpdatesEnd();
    void DownloadFile(const QString &address, const QString &path,
                      const platform::DownloadLimits &limits, bool versionFile);
    void DownloadProgress(qint64 progress, qint64 maximum);
    void DownloadEnded(bool ok);
    void addLine(const QString &line);
    void addFailure(const char *what, const QString &address, bool emptyLineAfter);

    TProgramSettings &m_settings;
    platform::Downloader *m_download;
    platform::DownloadLimits m_versionInfoLimits, m_versionNotesLimits;
    Phase m_phase = Phase::Idle;
    CheckView m_view;
    bool m_newFilesFound = false;
    bool m_countdownDue = false;
    packupdate::PackageInfo m_package;
    bool m_packageOffered = false;
};

} // namespace update
