#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class QIODevice;

namespace packupdate {

/// Checks a minisign signature of the file at @p path: @p signature is the text of its
/// .minisig file (untrusted comment, signature, trusted comment, global signature), @p publicKey
/// the public key as minisign prints it (the base64 line, with or without the comment line
/// before it). Both the legacy ("Ed") and the pre-hashed ("ED", BLAKE2b-512) signatures are
/// understood, and the trusted comment must carry the key's global signature. Returns an empty
/// text when the signature is good, else why not, in plain words. On a good signature,
/// @p trustedComment (when given) receives its trusted comment.
QString VerifyMinisign(const QString &path, const QString &signature, const QString &publicKey,
                       QString *trustedComment = nullptr);

/// The BLAKE2b-512 hash of what is left to read of @p file, read in pieces so that a large
/// archive is never held in memory: the message a pre-hashed ("ED") minisign signature covers.
/// Nothing when the file cannot be read.
std::optional<QByteArray> MinisignFileHash(QIODevice &file);

/// Whether @p publicKey reads as a minisign public key.
bool IsMinisignPublicKey(const QString &publicKey);

} // namespace packupdate
