#include "themes/ThemeApply.h"

#include "core/Common.h"
#include "history/InstallHistory.h"
#include "options/OptionIni.h"
#include "files/Error.h"
#include "ini/IniFile.h"
#include "files/Paths.h"
#include "launch/ScriptLauncher.h"
#include "files/ScriptPlace.h"
#include "themes/ThemeStore.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

ThemeContent ReadTheme(const TProgramSettings &settings, const QString &name)
{
    const QString file = ThemeFile(settings, name);
    if (file.isEmpty() || !ThemeNameProblem(name).isEmpty() || IsThemeLink(file))
        throw AppError(QStringLiteral("Unable to read theme %1").arg(name));
    const platform::IniFile ini(file);
    if (!ini.exists() || !ini.readable())
        throw AppError(QStringLiteral("Unable to read theme %1").arg(name));

    ThemeContent theme;
    theme.Name = name;
    theme.SectionCount = ini.sectionCount();
    const int count = std::min(theme.SectionCount, MaxThemeEntries);
    theme.Entries.reserve(static_cast<size_t>(count));
    for (int n = 0; n < count; ++n) {
        // Entries are addressed by their index, not by the section names found.
        const QString section = QStringLiteral("Option%1").arg(n);
        ThemeEntry entry;
        entry.RunMeFName = ini.readString(section, QStringLiteral("RunMeFName"), QString());
        entry.Delay = std::clamp(
            ini.readInteger(section, QStringLiteral("Delay"), settings.DefaultProgramDelay),
            MinimumThemeDelay, MaximumThemeDelay);
        theme.Entries.push_back(std::move(entry));
    }
    return theme;
}

ThemeScriptPlace LocateThemeScript(const QString &programDir, const QString &optionsRoot,
                                   const QString &stored, QString *file)
{
    return platform::locateScript(programDir, optionsRoot, stored, file);
}

int ThemePlan::TotalDelay() const
{
    int total = 0;
    for (const ThemeStep &step : Steps)
        total += step.Delay; // at most 1,000 steps of at most 30 s: no overflow
    return total;
}

ThemePlan PlanTheme(const TProgramSettings &settings, const ThemeContent &theme)
{
    ThemePlan plan;
    plan.Ignored = std::max(0, theme.SectionCount - MaxThemeEntries);
    const QString root = OptionsRoot(settings);
    for (size_t i = 0; i < theme.Entries.size(); ++i) {
        const ThemeEntry &entry = theme.Entries[i];
        ThemeStep step;
        switch (LocateThemeScript(settings.ProgramDir, root, entry.RunMeFName, &step.Script)) {
        case ThemeScriptPlace::Missing:
            ++plan.Missing;
            continue;
        case ThemeScriptPlace::Outside:
            ++plan.Outside;
            continue;
        case ThemeScriptPlace::Inside:
            break;
        }
        step.Entry = static_cast<int>(i);
        step.Folder = QFileInfo(step.Script).path() + QLatin1Char('/');
        step.Delay = entry.Delay;
        plan.Steps.push_back(std::move(step));
    }
    return plan;
}

ThemeApplication::ThemeApplication(TProgramSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ThemeApplication::timerFired);
}

ThemeApplication::~ThemeApplication() = default;

void ThemeApplication::Read(const QString &name)
{
    m_theme = ReadTheme(m_settings, name);
    m_plan = ThemePlan();
    m_state = State::Idle;
    m_step = 0;
}

void ThemeApplication::ClearAndPlan()
{
    ThemePlan plan = PlanTheme(m_settings, m_theme);
    // A theme whose Windows scripts cannot start without Wine is refused before it clears.
    QStringList scripts;
    for (const ThemeStep &step : plan.Steps)
        scripts.append(step.Script);
    platform::requireWineFor(scripts);
    platform::requireScriptStart(scripts);
    // Recorded in the history as one install, begun before the clear so that its "before"
    // snapshot holds the selection the theme replaces; snapshotted again when the theme's
    // scripts have ended.
    m_session = std::make_unique<history::InstallSession>(
        QStringLiteral("theme"), QStringLiteral("Theme ") + m_theme.Name, scripts);
    ClearAllSelectedOptions(OptionsRoot(m_settings), &plan.LeftOutside);
    CurrentOption.OptionProgramDelay = m_settings.DefaultProgramDelay;
    m_plan = std::move(plan);
}

void ThemeApplication::Prepare(const QString &name)
{
    // The theme is read and checked before anything changes: a theme that cannot be read
    // leaves every selection as it was.
    Read(name);
    ClearAndPlan();
}

void ThemeApplication::Start()
{
    if (m_state == State::Running)
        return;
    m_state = State::Running;
    m_step = 0;
    m_clock.start();
    if (m_plan.Steps.empty()) {
        complete();
        return;
    }
    if (!m_session) {
        QStringList scripts;
        for (const ThemeStep &step : m_plan.Steps)
            scripts.append(step.Script);
        m_session = std::make_unique<history::InstallSession>(
            QStringLiteral("theme"), QStringLiteral("Theme ") + m_theme.Name, scripts);
    }
    beginStep();
}

void ThemeApplication::Abort()
{
    if (m_state != State::Running)
        return;
    m_timer.stop();
    m_state = State::Aborted;
    m_session.reset();
    emit finished();
}

qint64 ThemeApplication::StepElapsed() const
{
    return m_state == State::Running ? m_clock.elapsed() - m_stepStart : 0;
}

// Every script of a theme starts here and nowhere else.
void ThemeApplication::startScript(const ThemeStep &step)
{
    const bool hidden = m_settings.HideShell;
    const QStringList parameters = hidden ? QStringList{QStringLiteral("-h")} : QStringList{};
    // Found when the theme was planned: the start does not look the script up again.
    platform::shellOpenFound(step.Script, parameters, step.Folder,
                             hidden ? platform::ShowCommand::Hidden : platform::ShowCommand::Normal,
                             m_session ? m_session->start(step.Script, parameters, hidden)
                                       : nullptr);
    emit scriptStarted(step.Entry, step.Script, step.Folder, parameters);
}

void ThemeApplication::beginStep()
{
    const ThemeStep &step = m_plan.Steps[m_step];
    m_stepStart = m_clock.elapsed();
    startScript(step);
    if (m_state != State::Running)
        return; // a handler of scriptStarted aborted
    emit stepStarted(static_cast<int>(m_step), static_cast<int>(m_plan.Steps.size()), step.Delay);
    if (m_state == State::Running)
        m_timer.start(step.Delay);
}

void ThemeApplication::timerFired()
{
    if (m_state != State::Running)
        return;
    // A timer may fire a little early; the wait is measured on the clock.
    const qint64 left = m_plan.Steps[m_step].Delay - (m_clock.elapsed() - m_stepStart);
    if (left > 0) {
        m_timer.start(static_cast<int>(left));
        return;
    }
    if (++m_step < m_plan.Steps.size())
        beginStep();
    else
        complete();
}

void ThemeApplication::complete()
{
    m_state = State::Complete;
    m_session.reset();
    m_settings.ThemeName = m_theme.Name;
    emit finished();
}
