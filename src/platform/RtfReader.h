#pragma once

#include <QByteArray>

class QTextDocument;

namespace platform {

/// True when @p data holds Rich Text Format (it begins with "{\rtf", blanks allowed before).
bool isRtf(const QByteArray &data);

/// Reads Rich Text Format into @p document, replacing its content. Never throws and never
/// hangs: malformed input (unbalanced braces, a truncated file, huge numbers, very deep
/// nesting) shows whatever text could be read.
void readRtf(const QByteArray &data, QTextDocument *document);

} // namespace platform
