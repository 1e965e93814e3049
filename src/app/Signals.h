#pragma once

#include <functional>

/// Turns SIGTERM, SIGINT and SIGHUP into a call of @p onSignal on the GUI thread, so that the
/// program can close its windows the normal way (and save its settings) when the session ends.
/// Until MarkSettingsLoaded() has been called a signal ends the program at once: the settings
/// are not known yet, and writing them would replace the user's file with defaults.
void InstallTerminationHandlers(std::function<void()> onSignal);
void MarkSettingsLoaded();
