#pragma once

#include "history/RunLog.h"

#include <QString>

namespace history {

/// How a recorded start ended, as far as its record tells.
enum class StartOutcome {
    Running,    // its process (or the grace of a terminal start) still runs
    Succeeded,  // ended with status 0
    Failed,     // ended with another status
    NotStarted, // no process came of it, or its terminal never ran the script
    Unknown     // ended without a status the program could see (an older record)
};

StartOutcome outcomeOf(const ScriptStart &start);

/// The text of the History window's status column for one start: the exit status, "running",
/// "not started" or "-".
QString statusText(const ScriptStart &start);

/// Whether a start of @p record ended with a status other than 0 or could not be started.
bool hasFailure(const InstallRecord &record);

/// The plain words for the failed starts of @p record, one sentence for all of them:
/// "RunMe.bat of Classic ended with status 3: File > History shows its output", or "RunMe.sh of
/// Classic was kept from writing to ~/.bashrc: ..." when the sandbox stopped it. Empty when
/// nothing failed. The option is named by the folder the script lies in. A start that ran in
/// a terminal window is said to have shown its output there.
QString failureReport(const InstallRecord &record);

} // namespace history
