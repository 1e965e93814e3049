#include "files/PackState.h"

#include "files/OwnFile.h"
#include "files/Paths.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace platform {

QString packStateKey(const QString &packDir)
{
    const QString real = QFileInfo(packDir).canonicalFilePath();
    struct stat st;
    if (real.isEmpty() || ::stat(QFile::encodeName(real).constData(), &st) != 0)
        return {};
    QByteArray identity = QFile::encodeName(real);
    identity += '\0' + QByteArray::number(quint64(st.st_dev)) + ':' +
                QByteArray::number(quint64(st.st_ino));
    const QByteArray digest =
        QCryptographicHash::hash(identity, QCryptographicHash::Sha256).toHex().left(16);

    QString name;
    for (const QChar c : QFileInfo(real).fileName()) {
        if (name.size() == 32)
            break;
        const bool plain = c.unicode() < 128 && (c.isLetterOrNumber() || c == QLatin1Char('.') ||
                                                 c == QLatin1Char('-') || c == QLatin1Char('_'));
        name += plain ? c : QLatin1Char('_');
    }
    while (name.startsWith(QLatin1Char('.')))
        name[0] = QLatin1Char('_');
    if (name.isEmpty())
        name = QStringLiteral("pack");
    return name + QLatin1Char('-') + QString::fromLatin1(digest);
}

QString packStateFolder(const QString &packDir)
{
    const QString key = packStateKey(packDir);
    if (key.isEmpty())
        return {};
    const QString folder = varimondStateFolder() + QStringLiteral("/packs/") + key;
    return makeOwnFolder(folder) ? folder + QLatin1Char('/') : QString();
}

} // namespace platform
