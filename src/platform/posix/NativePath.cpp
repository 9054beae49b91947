#include "platform/NativePath.h"

#include <algorithm>

namespace {

// The length of the valid UTF-8 sequence at `s` (with `left` bytes to go) and its code point, or
// 0 when the byte there starts none: overlong forms, encoded surrogates and code points beyond
// U+10FFFF are no valid UTF-8 either.
int utf8Sequence(const uchar *s, qsizetype left, char32_t &code)
{
    int length = 1;
    char32_t least = 0;
    if (s[0] < 0x80) {
        code = s[0];
        return 1;
    } else if ((s[0] & 0xE0) == 0xC0) {
        length = 2, least = 0x80, code = s[0] & 0x1F;
    } else if ((s[0] & 0xF0) == 0xE0) {
        length = 3, least = 0x800, code = s[0] & 0x0F;
    } else if ((s[0] & 0xF8) == 0xF0) {
        length = 4, least = 0x10000, code = s[0] & 0x07;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (s[i] & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void appendUtf8(QByteArray &bytes, char32_t code)
{
    if (code < 0x80) {
        bytes.append(char(code));
    } else if (code < 0x800) {
        bytes.append(char(0xC0 | (code >> 6)));
        bytes.append(char(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        bytes.append(char(0xE0 | (code >> 12)));
        bytes.append(char(0x80 | ((code >> 6) & 0x3F)));
        bytes.append(char(0x80 | (code & 0x3F)));
    } else {
        bytes.append(char(0xF0 | (code >> 18)));
        bytes.append(char(0x80 | ((code >> 12) & 0x3F)));
        bytes.append(char(0x80 | ((code >> 6) & 0x3F)));
        bytes.append(char(0x80 | (code & 0x3F)));
    }
}

} // namespace

QByteArray nativePath(const QString &path)
{
    // Without a lone surrogate (a byte that was not UTF-8) the path is plain UTF-8.
    if (QStringView(path).isValidUtf16())
        return path.toUtf8();
    QByteArray bytes;
    bytes.reserve(path.size());
    for (qsizetype i = 0; i < path.size(); ++i) {
        char32_t code = path.at(i).unicode();
        if (QChar::isHighSurrogate(code) && i + 1 < path.size() &&
            path.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(char16_t(code), path.at(++i).unicode());
        } else if (code >= 0xDC80 && code <= 0xDCFF) {
            bytes.append(char(code - 0xDC00));
            continue;
        } else if (QChar::isSurrogate(code)) {
            code = 0xFFFD;
        }
        appendUtf8(bytes, code);
    }
    return bytes;
}

QString decodeNativePath(const QByteArray &native)
{
    if (std::all_of(native.cbegin(), native.cend(), [](char c) { return uchar(c) < 0x80; }))
        return QString::fromLatin1(native);
    QString text;
    text.reserve(native.size());
    const auto *s = reinterpret_cast<const uchar *>(native.constData());
    for (qsizetype i = 0; i < native.size();) {
        char32_t code = 0;
        const int length = utf8Sequence(s + i, native.size() - i, code);
        if (length == 0) {
            text.append(QChar(char16_t(0xDC00 + s[i])));
            ++i;
            continue;
        }
        if (QChar::requiresSurrogates(code)) {
            text.append(QChar(QChar::highSurrogate(code)));
            text.append(QChar(QChar::lowSurrogate(code)));
        } else {
            text.append(QChar(char16_t(code)));
        }
        i += length;
    }
    return text;
}
