#pragma once

#include <QByteArray>

class QTextDocument;

namespace platform {

/// True when @p data holds Rich Text Format: it begins with "{\rtf", after an optional UTF-8
/// byte order mark and blanks.
bool isRtf(const QByteArray &data);

/// Reads Rich Text Format into @p document, replacing its content: fonts, sizes, bold, italic,
/// underline, strike-through, colours and highlight, paragraph alignment, indents, spacing and
/// tab stops, line breaks, special characters, code-page escapes and Unicode. Pictures, objects,
/// headers, footers and other non-text parts show nothing; a hyperlink field shows its text as
/// an anchor with the link's target. Sets the document's default tab stops (half an inch unless
/// the file says otherwise).
///
/// Never throws and never hangs: malformed input (unbalanced braces, a truncated file, huge
/// numbers, very deep nesting, binary data) shows whatever text could be read.
void readRtf(const QByteArray &data, QTextDocument *document);

} // namespace platform
