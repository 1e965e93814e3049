#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace history {

/// What the sandbox let a start reach, as its record keeps it.
struct SandboxLimits
{
    bool confined = false;
    bool network = false;
    QStringList writable;
};

/// What a confined start's @p output shows the sandbox kept it from, in plain words: "writing
/// to ~/.bashrc" for a write refused outside its writable folders ("Read-only file system",
/// "Permission denied"), "reading ~/.ssh/id_rsa" for a file of the hidden home it did not
/// find, "reaching the network" for a connection that failed without network. At most a few.
QStringList sandboxStops(const QByteArray &output, const SandboxLimits &start);

} // namespace history
