// Placeholder: the RTF reader replaces this file.
#include "platform/RtfReader.h"

#include <QTextDocument>

namespace platform {
bool isRtf(const QByteArray &data) { return data.trimmed().startsWith("{\\rtf"); }
void readRtf(const QByteArray &data, QTextDocument *document)
{
    document->setPlainText(QString::fromLatin1(data));
}
} // namespace platform
