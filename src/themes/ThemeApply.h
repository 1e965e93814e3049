#pragma once

#include "files/ScriptPlace.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

struct TProgramSettings;
namespace history {
class InstallSession;
}

/// Most entries read from one theme file; the rest are ignored (and the user is told).
constexpr int MaxThemeEntries = 1000;
/// The shortest and the longest wait after a theme's script start, in milliseconds. A stored
/// delay outside the range is taken as the nearer bound, so a hand-edited theme cannot hold the
/// program for days.
constexpr int MinimumThemeDelay = 20;
constexpr int MaximumThemeDelay = 30000;

/// One entry of a theme file: its main script as stored and its delay in milliseconds.
struct ThemeEntry
{
    QString RunMeFName;
    int Delay = 0;
};

/// A theme file as read for applying it.
struct ThemeContent
{
    QString Name;
    int SectionCount = 0;            ///< sections in the file, whatever their names
    std::vector<ThemeEntry> Entries; ///< Option0 .. Option(n-1), n = min(sections, the limit)
};

/// Reads theme @p name from the themes folder. Section n of the entries is "Option" + n, for n
/// below the file's section count (at most MaxThemeEntries); a missing key reads as the empty
/// text, a missing or malformed delay as DefaultProgramDelay, and every delay is brought into
/// MinimumThemeDelay .. MaximumThemeDelay. Throws AppError ("Unable to read theme %s") when the
/// file is missing or cannot be read; an existing file without sections has no entries.
ThemeContent ReadTheme(const TProgramSettings &settings, const QString &name);

/// Where a stored script path of a theme leads.
using ThemeScriptPlace = platform::ScriptPlace;

/// Maps @p stored (".\Options\Folder\RunMe.bat", taken from @p programDir) onto the file it
/// names, case-insensitively as Windows would find it. Outside: an absolute path, a drive
/// letter, or a path whose real location (after "..", links and case) is not inside
/// @p optionsRoot. Missing: no regular file there (the empty path included). On Inside, @p file
/// receives the script's path.
ThemeScriptPlace LocateThemeScript(const QString &programDir, const QString &optionsRoot,
                                   const QString &stored, QString *file = nullptr);

/// One script start of a theme application, and the wait that follows it.
struct ThemeStep
{
    int Entry = 0;  ///< index of the theme entry
    QString Script; ///< the script's path on disk
    QString Folder; ///< its working folder, ending in '/'
    int Delay = 0;  ///< milliseconds to wait after the start
};

/// The starts an application makes, and what it leaves out.
struct ThemePlan
{
    std::vector<ThemeStep> Steps;
    int Missing = 0; ///< entries whose script does not exist: skipped without a word
    int Outside = 0; ///< entries pointing outside the option folders: skipped, the user is told
    int Ignored = 0; ///< sections past MaxThemeEntries
    int LeftOutside = 0; ///< marked folders outside the options folder: not cleared, the user is told
    int TotalDelay() const;
};

/// The plan for @p theme with ::ProgramSettings' folders.
ThemePlan PlanTheme(const TProgramSettings &settings, const ThemeContent &theme);

/// Applying a theme, without a window: Prepare() reads the theme file (nothing changes when it
/// cannot be read), clears every selection mark of the option folders and plans the starts;
/// Start() then starts the theme's main scripts one after the other, in the file's order, each
/// followed by its stored delay before the next starts. Only the main script of an entry is
/// started, in the script's folder, with "-h" and no window when HideShell is on. When the last
/// delay has passed, ThemeName becomes the theme's name and finished() is emitted. The waits run
/// on timers, so the event loop (and every window) keeps going meanwhile.
class ThemeApplication final : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, Running, Complete, Aborted };

    explicit ThemeApplication(TProgramSettings &settings, QObject *parent = nullptr);
    ~ThemeApplication() override;

    /// Reads theme @p name; throws AppError when it cannot be read, and nothing changes.
    void Read(const QString &name);
    /// Plans the starts of the theme read, then clears the selection marks of the option
    /// folders. Throws AppError, before clearing anything, when a script needs Wine and Wine is
    /// missing, and when a descriptor may not be written.
    void ClearAndPlan();
    /// Read() and ClearAndPlan().
    void Prepare(const QString &name);
    /// Starts the first script at once; with nothing to start the application completes here.
    void Start();
    /// Stops before the next start; what has started runs on. ThemeName stays as it was.
    void Abort();

    State GetState() const { return m_state; }
    const ThemeContent &Theme() const { return m_theme; }
    const ThemePlan &Plan() const { return m_plan; }
    /// Milliseconds since the current step's script was started.
    qint64 StepElapsed() const;
    /// When the current step began, in milliseconds from Start().
    qint64 StepStart() const { return m_stepStart; }

Q_SIGNALS:
    /// Step @p index (from 0) of @p count has started its script and waits @p delay ms.
    void stepStarted(int index, int count, int delay);
    /// A script was handed to the platform's shell (whether a process came of it or not).
    void scriptStarted(int index, const QString &script, const QString &folder,
                       const QStringList &parameters);
    void finished();

private:
    void startScript(const ThemeStep &step);
    void beginStep();
    void timerFired();
    void complete();

    TProgramSettings &m_settings;
    ThemeContent m_theme;
    ThemePlan m_plan;
    State m_state = State::Idle;
    size_t m_step = 0;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_stepStart = 0;
    std::unique_ptr<history::InstallSession> m_session; // the history's record of this run
};
