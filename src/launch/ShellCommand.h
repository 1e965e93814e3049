#pragma once

#include <QString>
#include <QStringList>

namespace platform {

/// A command that starts a script: the program and its arguments, the Wine prefix and the
/// environment it runs with, and what the sandbox around it lets it reach.
struct ShellCommand
{
    QString program;
    QStringList arguments;
    QString winePrefix;      // WINEPREFIX for the process; empty: the inherited one, if any
    QStringList environment; // "NAME=value" set for the process, WINEPREFIX among them
    bool inTerminal = false; // program is the terminal; the command follows its "-e"
    bool confined = false;   // runs in the sandbox
    bool network = false;    // the sandbox lets it use the network
    QStringList writable;    // what the sandbox lets it write
};

} // namespace platform
