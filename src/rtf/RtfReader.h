#pragma once

#include <QByteArray>

class QTextDocument;

namespace platform {

/// True when @p data holds Rich Text Format: it begins with "{\rtf", after an optional UTF-8
/// byte order mark and blanks.
bool isRtf(const QByteArray &data);

/// Reads Rich Text Format into @p document, replacing its content: fonts, sizes, bold, italic,
/// underline, strike-through, colours and highlight, paragraph alignment, indents, spacing,
/// contextual spacing, shading and tab stops, line breaks, special characters, code-page
/// escapes in the code page of each font's character set, symbol fonts as the Unicode
/// characters they draw, and Unicode. Tables become QTextTables (nested ones inside their
/// cells); list markers given only as numbering definitions are written out; footnotes follow
/// the text, numbered; text boxes show in place. Pictures, objects, headers, footers and other
/// non-text parts show nothing; a hyperlink field shows its text as an anchor with the link's
/// target, a SYMBOL field without a result its character. Nothing after the document's closing
/// brace is read. Sets the document's default tab stops (half an inch unless the file says
/// otherwise).
///
/// Never throws and never hangs: malformed input (unbalanced braces, a truncated file, huge
/// numbers, very deep nesting, binary data) shows whatever text could be read.
void readRtf(const QByteArray &data, QTextDocument *document);

} // namespace platform
