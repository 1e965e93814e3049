#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

/// Decodes Windows-1252, the code page option packs made on Windows are written in. The five
/// bytes that code page leaves undefined map to the C1 control of the same value.
QString decodeWindows1252(const QByteArray &bytes);

/// Encodes to Windows-1252; characters it cannot represent become '?'.
QByteArray encodeWindows1252(const QString &text);

/// True when @p bytes form valid UTF-8 (an empty array counts as valid).
bool isValidUtf8(const QByteArray &bytes);

/// Text stored by this program and by packs made elsewhere: UTF-8 when it is valid UTF-8,
/// otherwise Windows-1252.
QString decodeText(const QByteArray &bytes);

} // namespace platform
