#include "history/SandboxStops.h"

#include <QDir>

#include <array>

namespace history {

namespace {

constexpr int MaxStops = 4;

// The path an error line names about @p at, the error's place in it: quoted, or the last word
// before it, or quoted after it ("Permission denied: '/etc/x'"). Empty when none is absolute.
QString pathOfError(const QString &line, qsizetype at, qsizetype length)
{
    QString head = line.left(at).trimmed();
    if (head.endsWith(QLatin1Char(':')))
        head.chop(1);
    head = head.trimmed();
    QString path;
    static const QString quotes = QStringLiteral("'\"`\u2019\u2018");
    if (!head.isEmpty() && quotes.contains(head.back())) {
        const QChar close = head.back();
        const QChar open = close == QChar(0x2019) ? QChar(0x2018) : close;
        const qsizetype start = head.lastIndexOf(open, head.size() - 2);
        if (start >= 0)
            path = head.mid(start + 1, head.size() - start - 2);
    } else {
        path = head.mid(head.lastIndexOf(QLatin1Char(' ')) + 1);
    }
    if (!path.startsWith(QLatin1Char('/'))) {
        QString tail = line.mid(at + length).trimmed();
        if (tail.startsWith(QLatin1Char(':')))
            tail = tail.mid(1).trimmed();
        if (tail.size() > 2 && quotes.contains(tail.front()))
            path = tail.mid(1, tail.indexOf(tail.front(), 1) - 1);
    }
    return path.startsWith(QLatin1Char('/')) ? QDir::cleanPath(path) : QString();
}

bool inAny(const QString &path, const QStringList &folders)
{
    for (const QString &folder : folders) {
        if (path == folder || path.startsWith(folder + QLatin1Char('/')))
            return true;
    }
    return false;
}

QString shown(const QString &path, const QString &home)
{
    if (!home.isEmpty() && home != QLatin1String("/") && path.startsWith(home + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(home.size());
    return path;
}

} // namespace

QStringList sandboxStops(const QByteArray &output, const SandboxLimits &start)
{
    QStringList stops;
    if (!start.confined)
        return stops;
    const QString home = QDir::cleanPath(QDir::homePath());
    const std::array<const char *, 2> refusals{"Read-only file system", "Permission denied"};
    const std::array<const char *, 5> offline{
        "Network is unreachable", "Connection refused", "Could not resolve host",
        "Temporary failure in name resolution", "Name or service not known"};
    auto add = [&](const QString &stop) {
        if (!stop.isEmpty() && !stops.contains(stop) && stops.size() < MaxStops)
            stops.append(stop);
    };
    for (const QByteArray &raw : output.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        for (const char *refusal : refusals) {
            const qsizetype at = line.indexOf(QLatin1String(refusal));
            if (at < 0)
                continue;
            const QString path = pathOfError(line, at, qsizetype(qstrlen(refusal)));
            if (!path.isEmpty() && !inAny(path, start.writable))
                add(QStringLiteral("writing to ") + shown(path, home));
        }
        const qsizetype missing = line.indexOf(QLatin1String("No such file or directory"));
        if (missing >= 0) {
            // The home is empty inside: a file of it that is not there was kept from the script.
            const QString path = pathOfError(line, missing, 25);
            if (!path.isEmpty() && path.startsWith(home + QLatin1Char('/')) &&
                !inAny(path, start.writable))
                add(QStringLiteral("reading ") + shown(path, home));
        }
        if (!start.network) {
            for (const char *failure : offline) {
                if (line.contains(QLatin1String(failure)))
                    add(QStringLiteral("reaching the network"));
            }
        }
    }
    return stops;
}

} // namespace history
