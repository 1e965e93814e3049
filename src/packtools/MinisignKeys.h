#pragma once

#include <QByteArray>
#include <QString>

/// The tools a pack maker runs before publishing: key pairs, signatures, archives, checks.
namespace packtools {

/// A minisign secret key, decrypted: the key number and libsodium's 64-byte Ed25519 secret key.
struct SecretKey
{
    QByteArray keyId;  // 8 bytes
    QByteArray secret; // 64 bytes
};

/// Makes an Ed25519 key pair in minisign's file formats and writes the secret key to
/// @p secretPath (mode 0600) and the public key to @p publicPath. With a non-empty
/// @p password the secret key is encrypted as minisign does (scrypt, its sensitive limits);
/// with an empty one it is stored unencrypted (minisign -W). Refuses to overwrite an existing
/// file. Returns the public key's base64 line, the value of [Update] PublicKey=. Throws
/// AppError when a file cannot be written.
QString GenerateKeyPair(const QString &secretPath, const QString &publicPath,
                        const QByteArray &password);

/// Whether the secret key file at @p path is encrypted (needs a password). Throws AppError when
/// it is not a minisign secret key.
bool SecretKeyIsEncrypted(const QString &path);

/// Reads and, with @p password, decrypts the minisign secret key at @p path. Throws AppError
/// when the file is not a minisign secret key or the password is wrong.
SecretKey LoadSecretKey(const QString &path, const QByteArray &password);

/// The text of a pre-hashed minisign signature (.minisig) of the file at @p path: the
/// BLAKE2b-512 hash of the file signed with @p key, and @p trustedComment signed with it.
/// Throws AppError when the file cannot be read.
QString SignFile(const QString &path, const SecretKey &key, const QString &trustedComment);

} // namespace packtools
