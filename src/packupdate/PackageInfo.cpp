#include "packupdate/PackageInfo.h"

#include "net/Downloader.h"
#include "ini/IniFile.h"

#include <QRegularExpression>
#include <QStringList>

namespace packupdate {

namespace {
const QString kSection = QStringLiteral("Package");
const char *const kSuffixes[] = {".zip", ".tar.gz", ".tar.xz", ".7z"};

// A version as its runs: digits and other characters, the separators among them.
QStringList versionRuns(const QString &version)
{
    QStringList runs;
    for (const QChar c : version) {
        if (!runs.isEmpty() && runs.last().back().isDigit() == c.isDigit())
            runs.last() += c;
        else
            runs.append(QString(c));
    }
    return runs;
}

// Compares two runs of digits as numbers of any length.
int compareNumbers(QString a, QString b)
{
    while (a.size() > 1 && a.front() == QLatin1Char('0'))
        a.remove(0, 1);
    while (b.size() > 1 && b.front() == QLatin1Char('0'))
        b.remove(0, 1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}
} // namespace

bool IsNewerVersion(const QString &candidate, const QString &installed)
{
    const QStringList a = versionRuns(candidate.trimmed());
    const QStringList b = versionRuns(installed.trimmed());
    for (int i = 0; i < a.size() && i < b.size(); ++i) {
        const bool digitsA = a[i].front().isDigit();
        const bool digitsB = b[i].front().isDigit();
        if (digitsA != digitsB)
            return digitsA;
        const int c = digitsA ? compareNumbers(a[i], b[i]) : a[i].compare(b[i], Qt::CaseInsensitive);
        if (c != 0)
            return c > 0;
    }
    return a.size() > b.size();
}

QString TrustedCommentVersion(const QString &comment)
{
    static const QLatin1String key("version:");
    for (const QString &item : comment.split(QRegularExpression(QStringLiteral("[ \\t]+")),
                                             Qt::SkipEmptyParts)) {
        if (item.startsWith(key))
            return item.mid(key.size());
    }
    return {};
}

QString PackageInfo::suffix() const
{
    const QString path = QUrl(archive).path().toLower();
    for (const char *s : kSuffixes) {
        if (path.endsWith(QLatin1String(s)))
            return QLatin1String(s);
    }
    return {};
}

bool ReadPackageInfo(const QString &path, PackageInfo &info, QString *why)
{
    auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    const platform::IniFile ini(path);
    bool present = false;
    for (const QString &section : ini.sections())
        present = present || section.compare(kSection, Qt::CaseInsensitive) == 0;
    if (!present)
        return refuse(QString());

    info = PackageInfo();
    info.archive = ini.readString(kSection, QStringLiteral("Archive"), QString());
    info.sha256 =
        ini.readString(kSection, QStringLiteral("SHA256"), QString()).toLatin1().toLower();
    const QString size = ini.readString(kSection, QStringLiteral("Size"), QString());
    // Escaped line breaks: the .minisig file's lines on one INI line.
    info.signature = ini.readString(kSection, QStringLiteral("Signature"), QString())
                         .replace(QLatin1String("\\n"), QLatin1String("\n"));
    info.signatureUrl = ini.readString(kSection, QStringLiteral("SignatureUrl"), QString());
    info.version = ini.readString(QStringLiteral("VersionInfo"), QStringLiteral("UserInterface"),
                                  QStringLiteral("Undef"));

    if (!platform::IsWebAddress(info.archive))
        return refuse(QStringLiteral("Archive is not an http or https address"));
    if (info.suffix().isEmpty())
        return refuse(QStringLiteral("Archive is not a .zip, .tar.gz, .tar.xz or .7z file"));
    bool hex = info.sha256.size() == 64;
    for (char c : info.sha256)
        hex = hex && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    if (!hex)
        return refuse(QStringLiteral("SHA256 is not 64 hex digits"));
    bool number = !size.isEmpty();
    for (QChar c : size)
        number = number && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    info.size = number && size.size() <= 12 ? size.toLongLong() : 0;
    if (info.size < 1 || info.size > MaxPackageSize)
        return refuse(QStringLiteral("Size is not a number of bytes up to 4 GiB"));
    if (!info.signatureUrl.isEmpty() && !platform::IsWebAddress(info.signatureUrl))
        return refuse(QStringLiteral("SignatureUrl is not an http or https address"));
    return true;
}

QString SizeText(qint64 bytes)
{
    if (bytes >= 1000 * 1000)
        return QStringLiteral("%1 MB").arg(QString::number(double(bytes) / 1e6, 'f', 1));
    if (bytes >= 1000)
        return QStringLiteral("%1 KB").arg(bytes / 1000);
    return QStringLiteral("%1 bytes").arg(bytes);
}

QString VersionFolderText(const QString &version)
{
    QString text;
    for (QChar c : version.left(64)) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                           c == QLatin1Char('.') || c == QLatin1Char('-') || c == QLatin1Char('_');
        text += plain ? c : QLatin1Char('_');
    }
    // No name made of dots alone ("." and ".." name folders already).
    if (text.isEmpty() || text.count(QLatin1Char('.')) == text.size())
        return QStringLiteral("unknown");
    return text;
}

} // namespace packupdate
