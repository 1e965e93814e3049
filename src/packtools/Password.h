#pragma once

#include <QByteArray>
#include <QString>

namespace packtools {

/// The environment variable a script sets to give the secret key's password without a
/// terminal.
inline const char *PasswordVariable()
{
    return "VARIMOND_PACK_PASSWORD";
}

/// The password of a secret key: the value of VARIMOND_PACK_PASSWORD when it is set, else
/// read from the terminal without echo after @p prompt (asked twice, and both must agree,
/// when @p confirm). Throws AppError when there is neither a variable nor a terminal.
QByteArray ReadPassword(const QString &prompt, bool confirm);

} // namespace packtools
