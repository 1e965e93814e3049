#include "update/VersionInfo.h"

#include "platform/IniFile.h"

namespace update {

namespace {
const QString kSection = QStringLiteral("VersionInfo");
}

bool IsWebAddress(const QUrl &url)
{
    const QString scheme = url.scheme();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

bool IsWebAddress(const QString &address)
{
    return IsWebAddress(QUrl(address.trimmed(), QUrl::StrictMode));
}

bool IsVersionInfoFile(const QString &path)
{
    const platform::IniFile ini(path);
    for (const QString &section : ini.sections()) {
        if (section.compare(kSection, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

void LoadNewVersionInfoIniFile(const QString &path, TProgramSettings &s)
{
    const platform::IniFile ini(path);
    const QString undef = undefValue();
    auto read = [&](const char *key) {
        return ini.readString(kSection, QString::fromLatin1(key), undef);
    };
    // Each value is stored as soon as it is read, in the file's order.
    s.NewUserInterface = read("UserInterface");
    s.NewProgramVersion = read("Varimond");
    s.NewAvailableBetas = read("AvailableBetas");
    s.NewAvailableAddOns = read("AvailableAddOns");
    s.UrlVersionInfo = read("UrlVersionInfo");
    s.UrlVersionNotes = read("UrlVersionNotes");
    s.UrlWeblinkPage = read("UrlWeblinkPage");
    s.WeblinkButtonCaption = read("WeblinkButtonCaption");
}

std::vector<VersionDifference> CompareVersionInfo(const TProgramSettings &s)
{
    std::vector<VersionDifference> found;
    auto compare = [&found](VersionDifference::Kind kind, const QString &published,
                            const QString &installed, const char *message) {
        // QString's == compares UTF-16 code units exactly: no case folding, no normalising.
        if (published != installed)
            found.push_back({kind, QString::fromLatin1(message), published});
    };
    compare(VersionDifference::UserInterface, s.NewUserInterface, s.UserInterface,
            "A new version of the UI is available.");
    compare(VersionDifference::Program, s.NewProgramVersion, s.Varimond,
            "A new version of the Varimond program is available.");
    compare(VersionDifference::Betas, s.NewAvailableBetas, s.AvailableBetas,
            "A new Beta is available.");
    compare(VersionDifference::AddOns, s.NewAvailableAddOns, s.AvailableAddOns,
            "A new AddOn is available.");
    return found;
}

QString CountdownCaption(int delay, int ticks)
{
    // 64-bit so that extreme delays cannot overflow; C++ division truncates toward zero.
    const qint64 remaining = (qint64(delay) - qint64(ticks)) / 4;
    return QStringLiteral("Continue (%1)").arg(remaining);
}

} // namespace update
