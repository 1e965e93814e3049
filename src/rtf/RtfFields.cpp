// Field instructions (hyperlinks and symbols) and the numbers of list items.
#include "rtf/RtfInternal.h"

namespace platform::rtf {

QStringList fieldTokens(const QString &instruction)
{
    QStringList tokens;
    QString token;
    bool quoted = false;
    bool inToken = false;
    for (QChar ch : instruction) {
        if (ch == QLatin1Char('"')) {
            if (quoted) {
                tokens.append(token);
                token.clear();
                inToken = false;
            }
            quoted = !quoted;
            inToken = quoted;
        } else if (!quoted && ch.isSpace()) {
            if (inToken)
                tokens.append(token);
            token.clear();
            inToken = false;
        } else {
            token.append(ch);
            inToken = true;
        }
    }
    if (inToken)
        tokens.append(token);
    return tokens;
}

QString hyperlinkTarget(const QString &instruction)
{
    const QStringList tokens = fieldTokens(instruction);
    if (tokens.isEmpty() ||
        tokens.first().compare(QLatin1String("HYPERLINK"), Qt::CaseInsensitive) != 0)
        return {};
    QString url;
    QString anchor;
    for (int i = 1; i < tokens.size(); ++i) {
        const QString &t = tokens[i];
        if (t.startsWith(QLatin1Char('\\'))) {
            const QString sw = t.mid(1).toLower();
            if ((sw == QLatin1String("l") || sw == QLatin1String("o") ||
                 sw == QLatin1String("t")) &&
                i + 1 < tokens.size()) {
                if (sw == QLatin1String("l"))
                    anchor = tokens[i + 1];
                ++i;
            }
            continue;
        }
        if (url.isEmpty())
            url = t;
    }
    if (url.isEmpty() && !anchor.isEmpty())
        return QLatin1Char('#') + anchor;
    if (!anchor.isEmpty())
        url += QLatin1Char('#') + anchor;
    return url;
}

QString symbolFieldText(const QString &instruction, int ansiCodePage, CodePageDecoder &decoder)
{
    const QStringList tokens = fieldTokens(instruction);
    if (tokens.size() < 2 ||
        tokens.first().compare(QLatin1String("SYMBOL"), Qt::CaseInsensitive) != 0)
        return {};
    bool ok = false;
    const QString &number = tokens[1];
    const uint code = number.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                          ? number.mid(2).toUInt(&ok, 16)
                          : number.toUInt(&ok, 10);
    if (!ok || code == 0 || code > 0x10FFFF)
        return {};
    QString font;
    enum { Ansi, Unicode, ShiftJis } kind = Ansi;
    for (int i = 2; i < tokens.size(); ++i) {
        const QString sw = tokens[i].toLower();
        if (sw == QLatin1String("\\f") && i + 1 < tokens.size())
            font = tokens[++i];
        else if (sw == QLatin1String("\\u"))
            kind = Unicode;
        else if (sw == QLatin1String("\\j"))
            kind = ShiftJis;
        else if (sw == QLatin1String("\\a"))
            kind = Ansi;
        else if (sw == QLatin1String("\\s") || sw == QLatin1String("\\h"))
            i += sw == QLatin1String("\\s") ? 1 : 0;
    }
    const int fontCode = fontCodePage(kCodePageSymbol, font);
    const bool symbolFont = fontCode != kCodePageSymbol ||
                            font.compare(QLatin1String("Symbol"), Qt::CaseInsensitive) == 0;
    if (symbolFont && (code <= 0xFF || (code >= 0xF020 && code <= 0xF0FF))) {
        const char byte = static_cast<char>(code & 0xFF);
        return decoder.decode(QByteArray(1, byte), fontCode);
    }
    if (kind == Unicode || code > 0xFFFF) {
        if (code < 0x20 || (code >= 0xD800 && code <= 0xDFFF))
            return {};
        const auto ch = static_cast<char32_t>(code);
        return QString::fromUcs4(&ch, 1);
    }
    QByteArray bytes;
    if (code > 0xFF)
        bytes.append(static_cast<char>(code >> 8));
    bytes.append(static_cast<char>(code & 0xFF));
    if (static_cast<unsigned char>(bytes.back()) < 0x20 && bytes.size() == 1)
        return {};
    return decoder.decode(bytes, kind == ShiftJis ? 932 : ansiCodePage);
}

QString listNumber(int n, ListMarker::Style style)
{
    switch (style) {
    case ListMarker::UpperRoman:
    case ListMarker::LowerRoman: {
        if (n <= 0 || n >= 4000)
            break;
        static const std::pair<int, const char *> numerals[] = {
            {1000, "M"}, {900, "CM"}, {500, "D"}, {400, "CD"}, {100, "C"}, {90, "XC"}, {50, "L"},
            {40, "XL"},  {10, "X"},   {9, "IX"},  {5, "V"},    {4, "IV"},  {1, "I"}};
        QString out;
        for (const auto &[value, letters] : numerals) {
            for (; n >= value; n -= value)
                out += QLatin1String(letters);
        }
        return style == ListMarker::LowerRoman ? out.toLower() : out;
    }
    case ListMarker::UpperLetter:
    case ListMarker::LowerLetter: {
        if (n <= 0 || n > 26 * 4)
            break;
        // A..Z, then AA..ZZ, and so on, as word processors number past Z.
        const QChar letter(
            char16_t((style == ListMarker::UpperLetter ? u'A' : u'a') + (n - 1) % 26));
        return QString((n - 1) / 26 + 1, letter);
    }
    case ListMarker::Decimal:
        break;
    }
    return QString::number(n);
}

QString markerText(const ListMarker &marker, int number)
{
    QString text = marker.before;
    if (marker.kind == ListMarker::Number)
        text += listNumber(number, marker.style);
    else if (text.isEmpty())
        text = QString(QChar(0x2022));
    return text + marker.after + QLatin1Char('\t');
}

} // namespace platform::rtf
