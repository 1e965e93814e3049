#include "packupdate/Minisign.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <sodium.h>

namespace packupdate {

namespace {

constexpr int KeyIdBytes = 8;
constexpr qint64 LegacyMaxBytes = 256 * 1024 * 1024;

struct PublicKey
{
    QByteArray keyId; // 8 bytes
    QByteArray key;   // 32 bytes
};

// The one base64 line of a key or signature file that is not a comment.
QByteArray base64Line(const QString &text, int expectedBytes)
{
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1String("untrusted comment:")))
            continue;
        const auto decoded = QByteArray::fromBase64Encoding(
            trimmed.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (decoded && decoded.decoded.size() == expectedBytes)
            return decoded.decoded;
        return {};
    }
    return {};
}

bool readPublicKey(const QString &text, PublicKey &key)
{
    const QByteArray raw = base64Line(text, 2 + KeyIdBytes + crypto_sign_PUBLICKEYBYTES);
    if (raw.isEmpty() || !raw.startsWith("Ed"))
        return false;
    key.keyId = raw.mid(2, KeyIdBytes);
    key.key = raw.mid(2 + KeyIdBytes);
    return true;
}

bool initSodium()
{
    static const bool ok = sodium_init() >= 0;
    return ok;
}

} // namespace

bool IsMinisignPublicKey(const QString &publicKey)
{
    PublicKey key;
    return readPublicKey(publicKey, key);
}

std::optional<QByteArray> MinisignFileHash(QIODevice &file)
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        crypto_generichash_update(
            &state, reinterpret_cast<const unsigned char *>(buffer.constData()), quint64(n));
    }
    QByteArray hash(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
    crypto_generichash_final(&state, reinterpret_cast<unsigned char *>(hash.data()),
                             size_t(hash.size()));
    return hash;
}

QString VerifyMinisign(const QString &path, const QString &signature, const QString &publicKey,
                       QString *trustedComment)
{
    if (!initSodium())
        return QStringLiteral("the signature cannot be checked here");
    PublicKey key;
    if (!readPublicKey(publicKey, key))
        return QStringLiteral("the pack's public key is not a minisign key");
    if (signature.trimmed().isEmpty())
        return QStringLiteral("the archive is not signed");

    // Lines: untrusted comment, signature, trusted comment, global signature.
    QStringList lines;
    for (const QString &line : signature.split(QLatin1Char('\n'))) {
        QString l = line;
        if (l.endsWith(QLatin1Char('\r')))
            l.chop(1);
        if (!l.trimmed().isEmpty())
            lines.append(l);
    }
    if (lines.size() != 4 || !lines[0].startsWith(QLatin1String("untrusted comment:")) ||
        !lines[2].startsWith(QLatin1String("trusted comment: ")))
        return QStringLiteral("the signature is not a minisign signature");
    const QByteArray sig = base64Line(lines[1], 2 + KeyIdBytes + crypto_sign_BYTES);
    const QByteArray global = base64Line(lines[3], crypto_sign_BYTES);
    if (sig.isEmpty() || global.isEmpty())
        return QStringLiteral("the signature is not a minisign signature");
    const QByteArray algorithm = sig.left(2);
    if (algorithm != "Ed" && algorithm != "ED")
        return QStringLiteral("the signature is not a minisign signature");
    if (sig.mid(2, KeyIdBytes) != key.keyId)
        return QStringLiteral("the archive is signed with another key than the pack's");

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("the archive cannot be read");
    const auto *pk = reinterpret_cast<const unsigned char *>(key.key.constData());
    const auto *sigBytes =
        reinterpret_cast<const unsigned char *>(sig.constData()) + 2 + KeyIdBytes;
    int verdict = -1;
    if (algorithm == "ED") {
        // Pre-hashed: the signature covers the file's BLAKE2b-512 hash.
        const std::optional<QByteArray> hash = MinisignFileHash(file);
        if (!hash)
            return QStringLiteral("the archive cannot be read");
        verdict = crypto_sign_verify_detached(
            sigBytes, reinterpret_cast<const unsigned char *>(hash->constData()),
            quint64(hash->size()), pk);
    } else {
        // The legacy form signs the whole file, which must then be held in memory at once.
        if (file.size() > LegacyMaxBytes)
            return QStringLiteral("the archive is too large for a legacy signature: sign it "
                                  "with minisign -S (pre-hashed)");
        const QByteArray data = file.readAll();
        verdict = crypto_sign_verify_detached(
            sigBytes, reinterpret_cast<const unsigned char *>(data.constData()),
            quint64(data.size()), pk);
    }
    if (verdict != 0)
        return QStringLiteral("the signature does not match the archive");

    // The trusted comment is signed together with the signature, so it cannot be swapped.
    const QByteArray comment = lines[2].mid(int(qstrlen("trusted comment: "))).toUtf8();
    const QByteArray signedText = sig.mid(2 + KeyIdBytes) + comment;
    if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(global.constData()),
                                    reinterpret_cast<const unsigned char *>(signedText.constData()),
                                    quint64(signedText.size()), pk) != 0)
        return QStringLiteral("the signature's trusted comment does not match");
    if (trustedComment)
        *trustedComment = QString::fromUtf8(comment);
    return {};
}

} // namespace packupdate
