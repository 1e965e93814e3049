#include "update/UpdateCheck.h"

#include "files/Paths.h"

#include <QFile>

namespace update {

using platform::Downloader;

UpdateCheck::UpdateCheck(TProgramSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_download(new Downloader(this))
{
    m_versionInfoLimits.maxBytes = MaxVersionInfoBytes;
    m_versionInfoLimits.totalMs = VersionInfoTotalMs;
    m_versionNotesLimits.maxBytes = MaxVersionNotesBytes;
    m_versionNotesLimits.totalMs = VersionNotesTotalMs;
    connect(m_download, &Downloader::progress, this, &UpdateCheck::DownloadProgress);
    connect(m_download, &Downloader::finished, this, [this](bool ok) {
        DownloadEnded(ok);
        if (m_phase == Phase::VersionInfo)
            CheckVersionInfo(ok);
        else if (m_phase == Phase::VersionNotes)
            ShowVersionNotes(ok);
    });
}

UpdateCheck::~UpdateCheck()
{
    Cancel();
}

void UpdateCheck::setStallTimeout(int milliseconds)
{
    m_versionInfoLimits.stallMs = m_versionNotesLimits.stallMs = milliseconds;
}

QString UpdateCheck::versionInfoPath() const
{
    return m_settings.ProgramDir + QStringLiteral("NewVersionInfo.ini");
}

QString UpdateCheck::versionNotesPath() const
{
    return m_settings.ProgramDir + QStringLiteral("NewVersionNotes.html");
}

void UpdateCheck::Start()
{
    Cancel();
    // A clean state, except that the progress bar stays as the last download left it and the
    // pane in front stays in front until something else is brought forward.
    const CheckView::Front front = m_view.front;
    m_view = CheckView();
    m_view.front = front;
    m_view.newBetas = m_settings.AvailableBetas;
    m_view.newAddOns = m_settings.AvailableAddOns;
    m_view.weblinkCaption = m_settings.WeblinkButtonCaption;
    m_view.caption = InProgressCaption();
    m_newFilesFound = false;
    m_countdownDue = false;
    m_packageOffered = false;
    m_package = packupdate::PackageInfo();
    m_phase = Phase::VersionInfo;
    emit changed();
    DownloadFile(m_settings.UrlVersionInfo, versionInfoPath(), m_versionInfoLimits, true);
}

void UpdateCheck::Cancel()
{
    m_download->abort();
    if (m_phase == Phase::VersionInfo || m_phase == Phase::VersionNotes)
        m_phase = Phase::Idle;
}

void UpdateCheck::DownloadFile(const QString &address, const QString &path,
                               const platform::DownloadLimits &limits, bool versionFile)
{
    m_view.progressVisible = true;
    m_view.progress = 0;
    m_view.progressMax = 0;
    emit changed();
    // The old copy goes first, so that only this download can make the file exist.
    QFile::remove(path);
    Downloader::Acceptor accept;
    // An error page or a captive portal's login page served with status 200 is no version
    // file: without its section it is refused and counts as not retrieved.
    if (versionFile)
        accept = &VersionInfoFileRefusal;
    m_download->start(address, path, limits, accept);
}

void UpdateCheck::DownloadProgress(qint64 progress, qint64 maximum)
{
    m_view.progressMax = maximum > 0 ? maximum : 0;
    m_view.progress = progress;
    emit changed();
}

void UpdateCheck::DownloadEnded(bool ok)
{
    if (!ok) {
        m_view.message1 = QStringLiteral("[** Download Error **]");
        m_view.message1Colour = LabelColour::Red;
    }
    m_view.progressVisible = false;
    emit changed();
}

void UpdateCheck::addLine(const QString &line)
{
    m_view.lines.append(line);
}

void UpdateCheck::addFailure(const char *what, const QString &address, bool emptyLineAfter)
{
    addLine(QStringLiteral("Could not retreive \"%1\" file:").arg(QLatin1String(what)));
    addLine(QStringLiteral("  ") + address);
    // Why, in plain words, under the address; a copy that could not be deleted before the
    // download is the only way to get here without a download error.
    const QString why = m_download->errorString();
    addLine(QStringLiteral("  ") +
            (why.isEmpty() ? QStringLiteral("an old copy could not be replaced") : why));
    if (emptyLineAfter)
        addLine(QString());
}

void UpdateCheck::CheckVersionInfo(bool downloaded)
{
    // A failed download leaves no file of its own; a copy that could not be deleted before it
    // does not count as retrieved either.
    if (downloaded && platform::fileExists(versionInfoPath())) {
        LoadNewVersionInfoIniFile(versionInfoPath(), m_settings);
        // A publisher may offer the new version as an archive; one that is incomplete or
        // unsound is not offered, and the window stays as it is without one.
        m_packageOffered = packupdate::ReadPackageInfo(versionInfoPath(), m_package);
        for (const VersionDifference &d : CompareVersionInfo(m_settings)) {
            m_newFilesFound = true;
            if (d.kind == VersionDifference::Betas) {
                m_view.newBetas = d.published;
                m_view.newBetasColour = LabelColour::Blue;
            } else if (d.kind == VersionDifference::AddOns) {
                m_view.newAddOns = d.published;
                m_view.newAddOnsColour = LabelColour::Blue;
            }
            addLine(d.message);
            addLine(QString());
            m_view.front = CheckView::Front::Text;
        }
    } else {
        addFailure("Version Info", m_settings.UrlVersionInfo, true);
        m_view.front = CheckView::Front::Text;
        m_view.caption = FailedCaption();
    }
    m_view.weblinkCaption = m_settings.WeblinkButtonCaption;
    m_phase = Phase::VersionNotes;
    emit changed();
    DownloadFile(m_settings.UrlVersionNotes, versionNotesPath(), m_versionNotesLimits, false);
}

void UpdateCheck::ShowVersionNotes(bool downloaded)
{
    if (downloaded && platform::fileExists(versionNotesPath())) {
        m_view.front = CheckView::Front::Browser;
        emit notesReady(versionNotesPath(), m_download->finalUrl());
    } else {
        addFailure("Version Notes", m_settings.UrlVersionNotes, false);
        m_view.front = CheckView::Front::Text;
        m_view.caption = FailedCaption();
    }
    CheckForUpdatesEnd();
}

void UpdateCheck::CheckForUpdatesEnd()
{
    if (m_view.caption != InProgressCaption()) {
        m_phase = Phase::Failed;
    } else {
        m_phase = Phase::Completed;
        m_view.caption = CompletedCaption();
        m_view.message1 = QStringLiteral("Completed");
        if (m_newFilesFound) {
            m_view.message2 = QStringLiteral("New files available");
            m_view.message1Colour = m_view.message2Colour = LabelColour::Blue;
            if (m_packageOffered) {
                // Without the pack's key nothing vouches for the archive: the player is told,
                // and it is offered only where the connection itself is authenticated.
                const bool vouched = !m_settings.PublicKey.isEmpty();
                if (!vouched)
                    addLine(NotSignedText());
                // An older version announced anew is not offered: it would not install.
                m_view.installOffered =
                    packupdate::IsNewerVersion(m_package.version, m_settings.UserInterface) &&
                    (vouched || QUrl(m_package.archive).scheme().compare(
                                    QLatin1String("https"), Qt::CaseInsensitive) == 0);
                m_view.installHint =
                    QStringLiteral("Download and install version %1 (%2)")
                        .arg(m_package.version, packupdate::SizeText(m_package.size));
            }
        } else {
            m_view.message2 = QStringLiteral("No new files available");
            m_view.message1Colour = m_view.message2Colour = LabelColour::DarkGreen;
            m_countdownDue = m_settings.CheckUpdateDelay != 0;
        }
    }
    emit changed();
    emit finished();
}

} // namespace update
