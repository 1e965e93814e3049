#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace packtools {

/// One thing the program would meet in a pack.
struct PackProblem
{
    enum Severity { Error, Warning };
    QString file; // relative to the pack's folder, '/'-separated; empty for the pack itself
    int line = 0; // 1-based; 0 when not known
    Severity severity = Error;
    QString code; // a short stable name, such as "link-out"
    QString message;
};

struct CheckReport
{
    QString pack; // the pack's folder
    std::vector<PackProblem> problems;

    int errorCount() const;
};

/// How long one RTF ReadMe may take to read and lay out before it is reported as slow.
constexpr int RtfLayoutLimitMs = 1000;

/// Reads the pack in @p pack (an existing folder) as the program would and lists every problem
/// it would meet: settings paths that leave the pack or need the player's consent; links out
/// of the pack, links with absolute targets, dangling links, special files, names that are not
/// UTF-8 and folders past the scan's depth limit; descriptors over the INI size cap or not
/// readable, script and ReadMe names that name no file, Windows scripts; themes that are links,
/// over the cap or name options that do not exist; preview pictures that cannot be decoded or
/// are too large; RTF ReadMes slow to lay out; malformed [VersionInfo], [Update] and [Package]
/// values. Needs a QGuiApplication for the RTF layout.
CheckReport CheckPack(const QString &pack);

/// The report as lines "error: FILE:LINE: message", a summary last.
QString ReportText(const CheckReport &report);

/// The report as one JSON document: {"pack", "errors", "warnings", "problems": [{"file",
/// "line" (when known), "severity", "code", "message"}]}.
QByteArray ReportJson(const CheckReport &report);

} // namespace packtools
