#pragma once

#include <QString>
#include <QUrl>

class QWebEngineProfile;

/// Local HTML pages (ReadMe, Help and About pages) are shown under a scheme of their own rather
/// than as file: addresses, with no local rights: the browser reads no local file for them,
/// whatever the page asks. Their files, and those of the folders the program shows pages from,
/// are served by the program itself: regular files with one link (a hard link may be any file
/// of the machine), links followed only while they stay inside such a folder, at most
/// MaxPageFileBytes each.
namespace localpages {

constexpr qint64 MaxPageFileBytes = 64 * 1024 * 1024;

/// The address a local file is shown under.
QUrl pageUrl(const QString &path);
/// The local file a page address names; empty when @p url is not such an address.
QString pagePath(const QUrl &url);
/// @p url as a file: address when it is a page address; otherwise @p url itself.
QUrl asFileUrl(const QUrl &url);

/// Files in @p folder and below may be served from now on (the folder of a page shown).
void allowFolder(const QString &folder);
/// Serves page addresses in @p profile (once per profile).
void serveIn(QWebEngineProfile *profile);

} // namespace localpages
