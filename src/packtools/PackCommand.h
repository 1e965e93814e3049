#pragma once

#include <QStringList>

namespace packtools {

/// Exit statuses of the pack tools.
enum ExitStatus { Success = 0, PackHasErrors = 1, CannotRun = 2 };

/// Whether @p arguments (the program's, its name first) call one of the pack tools:
/// "varimond pack ...".
bool IsPackCommand(const QStringList &arguments);

/// Runs "varimond pack check|keygen|publish ..." without any window: prints to stdout and
/// stderr and returns the exit status. Needs a QCoreApplication.
int RunPackCommand(const QStringList &arguments);

} // namespace packtools
