#include "update/VersionInfo.h"

#include "ini/IniFile.h"

namespace update {

namespace {
const QString kSection = QStringLiteral("VersionInfo");
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

QString VersionInfoFileRefusal(const QString &path)
{
    return IsVersionInfoFile(path) ? QString() : QStringLiteral("no [VersionInfo] section");
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

QByteArray NotesWithBase(const QByteArray &page, const QUrl &address)
{
    // Percent-encoded, the address holds no quote or angle bracket; & is the one character
    // an attribute would read as the start of a reference.
    QByteArray href = address.toEncoded();
    href.replace('&', "&amp;");
    const QByteArray base = "<base href=\"" + href + "\">";

    qsizetype start = page.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    // A document type after the base would put the page into quirks mode: the base goes after
    // it, and after comments and blanks before it.
    qsizetype at = start;
    for (qsizetype i = start; i < page.size();) {
        const char c = page.at(i);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f') {
            ++i;
        } else if (page.mid(i, 4) == "<!--") {
            const qsizetype end = page.indexOf("-->", i + 4);
            if (end < 0)
                break;
            i = end + 3;
        } else if (page.mid(i, 9).compare("<!doctype", Qt::CaseInsensitive) == 0) {
            const qsizetype end = page.indexOf('>', i);
            if (end < 0)
                break;
            at = i = end + 1;
        } else {
            break;
        }
    }
    QByteArray shown = page;
    shown.insert(at, base);
    return shown;
}

QString CountdownCaption(int delay, int ticks)
{
    // 64-bit so that extreme delays cannot overflow; C++ division truncates toward zero.
    const qint64 remaining = (qint64(delay) - qint64(ticks)) / 4;
    return QStringLiteral("Continue (%1)").arg(remaining);
}

} // namespace update
