#include "common/ControlText.h"

namespace {

bool breaksLine(char16_t c)
{
    return (c < 0x20 && c != u'\t') || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

qsizetype firstControl(QStringView text)
{
    qsizetype first = 0;
    for (; first < text.size(); ++first) {
        const char16_t c = text[first].unicode();
        // Printable ASCII, nearly every character of a line, is settled by one comparison.
        if (char16_t(c - 0x20) >= 0x5F && breaksLine(c))
            break;
    }
    return first;
}

QString escaped(QStringView text, qsizetype first)
{
    QString shown = text.left(first).toString();
    for (qsizetype i = first; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (!breaksLine(c))
            shown += QChar(c);
        else
            shown += (c < 0x100 ? QStringLiteral("\\x") : QStringLiteral("\\u")) +
                     QString::number(uint(c), 16).rightJustified(c < 0x100 ? 2 : 4, u'0').toUpper();
    }
    return shown;
}

} // namespace

QString escapeControls(QStringView text)
{
    const qsizetype first = firstControl(text);
    return first == text.size() ? text.toString() : escaped(text, first);
}

QString escapeControls(const QString &text)
{
    const qsizetype first = firstControl(text);
    return first == text.size() ? text : escaped(text, first);
}
