#include "packtools/MinisignKeys.h"

#include "packupdate/Minisign.h"
#include "files/Error.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sodium.h>

#include <cstring>

namespace packtools {

namespace {

constexpr int KeyIdBytes = 8;
constexpr int SaltBytes = crypto_pwhash_scryptsalsa208sha256_SALTBYTES; // 32
constexpr int ChecksumBytes = crypto_generichash_BYTES;                 // 32
// The encrypted part of a secret key file: key number, secret key, checksum.
constexpr int KeynumSkBytes = KeyIdBytes + crypto_sign_SECRETKEYBYTES + ChecksumBytes;
// "Ed", kdf algorithm, checksum algorithm, salt, opslimit, memlimit, then the part above.
constexpr int SecretFileBytes = 2 + 2 + 2 + SaltBytes + 8 + 8 + KeynumSkBytes;
constexpr int KeynumSkOffset = SecretFileBytes - KeynumSkBytes;

void initSodium()
{
    static const bool ok = sodium_init() >= 0;
    if (!ok)
        throw AppError(QStringLiteral("The cryptography library cannot be started."));
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

unsigned char *bytes(QByteArray &data)
{
    return reinterpret_cast<unsigned char *>(data.data());
}

void storeLe64(char *at, quint64 value)
{
    for (int i = 0; i < 8; ++i)
        at[i] = char((value >> (8 * i)) & 0xff);
}

quint64 loadLe64(const char *at)
{
    quint64 value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | quint64(static_cast<unsigned char>(at[i]));
    return value;
}

// minisign's checksum of a secret key: BLAKE2b-256 of the algorithm, key number and key.
QByteArray checksum(const QByteArray &algorithm, const QByteArray &keyId, const QByteArray &sk)
{
    QByteArray out(ChecksumBytes, Qt::Uninitialized);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, size_t(out.size()));
    crypto_generichash_update(&state, bytes(algorithm), quint64(algorithm.size()));
    crypto_generichash_update(&state, bytes(keyId), quint64(keyId.size()));
    crypto_generichash_update(&state, bytes(sk), quint64(sk.size()));
    crypto_generichash_final(&state, bytes(out), size_t(out.size()));
    return out;
}

// XORs the key number, secret key and checksum with the scrypt stream of the password, which
// both encrypts and decrypts them.
void applyPassword(QByteArray &file, const QByteArray &password)
{
    const char *salt = file.constData() + 6;
    const quint64 ops = loadLe64(file.constData() + 6 + SaltBytes);
    const quint64 mem = loadLe64(file.constData() + 6 + SaltBytes + 8);
    // A foreign file could ask for any amount of memory: no more than minisign's own.
    if (ops > crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE * 4ULL ||
        mem > crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE * 2ULL)
        throw AppError(QStringLiteral("The secret key asks for more work to decrypt than "
                                      "minisign ever does."));
    QByteArray stream(KeynumSkBytes, Qt::Uninitialized);
    if (crypto_pwhash_scryptsalsa208sha256(
            bytes(stream), quint64(stream.size()), password.constData(), quint64(password.size()),
            reinterpret_cast<const unsigned char *>(salt), ops, size_t(mem)) != 0)
        throw AppError(QStringLiteral("Not enough memory to derive the key from the password."));
    for (int i = 0; i < KeynumSkBytes; ++i)
        file[KeynumSkOffset + i] = char(file[KeynumSkOffset + i] ^ stream[i]);
    sodium_memzero(stream.data(), size_t(stream.size()));
}

void writeKeyFile(const QString &path, const QByteArray &content, bool secret)
{
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
        throw AppError(QStringLiteral("%1 already exists. Choose another name or remove it "
                                      "first: a key pair is never overwritten.")
                           .arg(path));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw AppError(QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString()));
    if (secret)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(content);
    if (!file.commit())
        throw AppError(QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString()));
}

QByteArray readSecretFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw AppError(
            QStringLiteral("The secret key %1 cannot be read: %2").arg(path, file.errorString()));
    const QByteArray text = file.read(4096);
    QByteArray raw;
    for (const QByteArray &line : text.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith("untrusted comment:"))
            continue;
        const auto decoded =
            QByteArray::fromBase64Encoding(trimmed, QByteArray::AbortOnBase64DecodingErrors);
        if (decoded)
            raw = decoded.decoded;
        break;
    }
    if (raw.size() != SecretFileBytes || !raw.startsWith("Ed") || raw.mid(4, 2) != "B2")
        throw AppError(QStringLiteral("%1 is not a minisign secret key. Make one with "
                                      "\"varimond pack keygen\".")
                           .arg(path));
    const QByteArray kdf = raw.mid(2, 2);
    if (kdf != "Sc" && kdf != QByteArray(2, '\0'))
        throw AppError(QStringLiteral("%1 is encrypted in a way minisign does not use.").arg(path));
    return raw;
}

} // namespace

QString GenerateKeyPair(const QString &secretPath, const QString &publicPath,
                        const QByteArray &password)
{
    initSodium();
    QByteArray pk(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
    QByteArray sk(crypto_sign_SECRETKEYBYTES, Qt::Uninitialized);
    crypto_sign_keypair(bytes(pk), bytes(sk));
    QByteArray keyId(KeyIdBytes, Qt::Uninitialized);
    randombytes_buf(keyId.data(), size_t(keyId.size()));

    const bool encrypted = !password.isEmpty();
    QByteArray file(SecretFileBytes, '\0');
    std::memcpy(file.data(), "Ed", 2);
    if (encrypted)
        std::memcpy(file.data() + 2, "Sc", 2);
    std::memcpy(file.data() + 4, "B2", 2);
    randombytes_buf(file.data() + 6, SaltBytes);
    if (encrypted) {
        storeLe64(file.data() + 6 + SaltBytes,
                  crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE);
        storeLe64(file.data() + 6 + SaltBytes + 8,
                  crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE);
    }
    const QByteArray keynumSk = keyId + sk + checksum("Ed", keyId, sk);
    std::memcpy(file.data() + KeynumSkOffset, keynumSk.constData(), size_t(KeynumSkBytes));
    if (encrypted)
        applyPassword(file, password);
    sodium_memzero(sk.data(), size_t(sk.size()));

    quint64 id = loadLe64(keyId.constData());
    const QString idText = QString::number(id, 16).toUpper();
    const QByteArray secretText = QByteArray("untrusted comment: minisign ") +
                                  (encrypted ? "encrypted secret key" : "secret key") + "\n" +
                                  file.toBase64() + "\n";
    const QByteArray publicLine = (QByteArray("Ed") + keyId + pk).toBase64();
    const QByteArray publicText =
        "untrusted comment: minisign public key " + idText.toLatin1() + "\n" + publicLine + "\n";
    writeKeyFile(secretPath, secretText, true);
    writeKeyFile(publicPath, publicText, false);
    return QString::fromLatin1(publicLine);
}

bool SecretKeyIsEncrypted(const QString &path)
{
    return readSecretFile(path).mid(2, 2) == "Sc";
}

SecretKey LoadSecretKey(const QString &path, const QByteArray &password)
{
    initSodium();
    QByteArray file = readSecretFile(path);
    if (file.mid(2, 2) == "Sc")
        applyPassword(file, password);
    const QByteArray keyId = file.mid(KeynumSkOffset, KeyIdBytes);
    const QByteArray sk = file.mid(KeynumSkOffset + KeyIdBytes, crypto_sign_SECRETKEYBYTES);
    const QByteArray chk = file.mid(KeynumSkOffset + KeyIdBytes + crypto_sign_SECRETKEYBYTES);
    if (sodium_memcmp(chk.constData(), checksum("Ed", keyId, sk).constData(), ChecksumBytes) != 0)
        throw AppError(QStringLiteral("The password of the secret key %1 is wrong.").arg(path));
    sodium_memzero(file.data(), size_t(file.size()));
    return {keyId, sk};
}

QString SignFile(const QString &path, const SecretKey &key, const QString &trustedComment)
{
    initSodium();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw AppError(QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString()));
    const std::optional<QByteArray> hash = packupdate::MinisignFileHash(file);
    if (!hash)
        throw AppError(QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString()));

    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(bytes(signature), nullptr,
                         reinterpret_cast<const unsigned char *>(hash->constData()),
                         quint64(hash->size()), bytes(key.secret));
    // The trusted comment is signed together with the signature, so it cannot be swapped.
    const QByteArray signedText = signature + trustedComment.toUtf8();
    QByteArray global(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(bytes(global), nullptr, bytes(signedText), quint64(signedText.size()),
                         bytes(key.secret));
    return QStringLiteral("untrusted comment: signature from varimond secret key\n") +
           QString::fromLatin1((QByteArray("ED") + key.keyId + signature).toBase64()) +
           QStringLiteral("\ntrusted comment: ") + trustedComment + QLatin1Char('\n') +
           QString::fromLatin1(global.toBase64()) + QLatin1Char('\n');
}

} // namespace packtools
