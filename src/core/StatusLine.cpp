#include "core/StatusLine.h"

void StatusLine::Show(const QString &message)
{
    QString line = message;
    for (QChar &c : line) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char('\t'))
            c = QLatin1Char(' ');
    }
    m_text = line.trimmed();
    ++m_serial;
    Q_EMIT Changed(m_text);
}

StatusLine &TheStatusLine()
{
    static StatusLine line;
    return line;
}
