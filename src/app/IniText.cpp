#include "app/IniText.h"

#include "common/Failure.h"
#include "platform/FileSystem.h"

#include <QDataStream>
#include <QIODevice>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace {

const QByteArray byteOrderMark = "\xEF\xBB\xBF";

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

QStringView trimmed(QStringView text)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.mid(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

bool isHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool holdsControl(const QString &text)
{
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

// The settings store's escapes, as it writes them: `asText` keeps characters from 0x7F up as they
// are (text), otherwise they are escaped as bytes (its typed forms).
QString storeEscaped(const QString &text, bool asText)
{
    QString out;
    bool quoted = false;
    bool escapeHexDigit = false;
    for (const QChar qc : text) {
        const char16_t c = qc.unicode();
        if (c == u';' || c == u',' || c == u'=')
            quoted = true;
        if (escapeHexDigit && isHexDigit(c)) {
            out += QStringLiteral("\\x") + QString::number(c, 16);
            continue;
        }
        escapeHexDigit = false;
        static const QString named = QStringLiteral("\a\b\f\n\r\t\v");
        static const QString letters = QStringLiteral("abfnrtv");
        if (c == 0) {
            out += QStringLiteral("\\0");
            escapeHexDigit = true;
        } else if (const qsizetype n = named.indexOf(qc); n >= 0) {
            out += QLatin1Char('\\') + letters.at(n);
        } else if (c == u'"' || c == u'\\') {
            out += QLatin1Char('\\') + qc;
        } else if (c < 0x20 || (c >= 0x7F && !asText)) {
            out += QStringLiteral("\\x") + QString::number(c, 16);
            escapeHexDigit = true;
        } else {
            out += qc;
        }
    }
    if (quoted || out.startsWith(u' ') || out.endsWith(u' '))
        return QLatin1Char('"') + out + QLatin1Char('"');
    return out;
}

// How the settings store writes a text: "@" doubled at its start, a text with NUL typed.
QString storeWritten(const QString &text)
{
    if (text.contains(QChar(0)))
        return storeEscaped(QStringLiteral("@String(") + text + QLatin1Char(')'), true);
    return storeEscaped(text.startsWith(u'@') ? QLatin1Char('@') + text : text, true);
}

// What the store's escapes stand for; nothing when the text is not in the form the store writes.
std::optional<QString> storeUnescaped(QStringView written)
{
    if (written.startsWith(u'"')) {
        if (written.size() < 2 || !written.endsWith(u'"'))
            return std::nullopt;
        written = written.mid(1, written.size() - 2);
    }
    static const QString letters = QStringLiteral("abfnrtv\\\"");
    static const QString named = QStringLiteral("\a\b\f\n\r\t\v\\\"");
    QString text;
    for (qsizetype i = 0; i < written.size(); ++i) {
        const QChar c = written.at(i);
        if (c == u'"')
            return std::nullopt;
        if (c != u'\\') {
            text += c;
            continue;
        }
        if (++i == written.size())
            return std::nullopt;
        const QChar escape = written.at(i);
        if (const qsizetype n = letters.indexOf(escape); n >= 0) {
            text += named.at(n);
        } else if (escape == u'0') {
            // The store writes a digit after NUL as \x3N.
            if (i + 1 < written.size() && written.at(i + 1).unicode() >= u'0' &&
                written.at(i + 1).unicode() <= u'7')
                return std::nullopt;
            text += QChar(0);
        } else if (escape == u'x') {
            uint code = 0;
            qsizetype digits = 0;
            while (i + 1 < written.size() && isHexDigit(written.at(i + 1).unicode()) &&
                   code <= 0xFFF) {
                code = code * 16 + uint(QStringView(written.mid(++i, 1)).toUInt(nullptr, 16));
                ++digits;
            }
            if (digits == 0)
                return std::nullopt;
            text += QChar(char16_t(code));
        } else {
            return std::nullopt;
        }
    }
    return text;
}

// A form only the settings store writes: "@Variant(...)" (a value kept with the toolkit's own
// serialisation), "@ByteArray(...)", "@String(...)" (a text holding NUL).
std::optional<QVariant> storeTyped(const QString &text)
{
    if (!text.endsWith(u')'))
        return std::nullopt;
    const auto inside = [&](qsizetype prefix) {
        return text.mid(prefix, text.size() - prefix - 1);
    };
    if (text.startsWith(QLatin1String("@String(")))
        return QVariant(inside(8));
    if (text.startsWith(QLatin1String("@ByteArray(")))
        return QVariant(inside(11).toLatin1());
    if (!text.startsWith(QLatin1String("@Variant(")))
        return std::nullopt;
    QByteArray bytes = inside(9).toLatin1();
    QDataStream stream(&bytes, QIODevice::ReadOnly);
    stream.setVersion(QDataStream::Qt_4_0);
    QVariant value;
    stream >> value;
    if (stream.status() != QDataStream::Ok || !value.isValid())
        return std::nullopt;
    return value;
}

// The value the previous release meant, where the text is in its written form.
std::optional<QVariant> previousReleaseValue(QStringView written)
{
    if (!written.contains(u'\\') && !written.contains(u'"') && !written.startsWith(u'@'))
        return std::nullopt;
    const std::optional<QString> text = storeUnescaped(written);
    if (!text)
        return std::nullopt;
    if (auto typed = storeTyped(*text))
        return typed;
    const QString value = text->startsWith(QLatin1String("@@")) ? text->mid(1) : *text;
    // Control characters tell a hand-typed share path (\\server\archive: a BEL in "\a") from a
    // value the store wrote.
    if (holdsControl(value) || storeWritten(value) != written)
        return std::nullopt;
    return QVariant(value);
}

bool isText(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Bool:
        return true;
    default:
        return false;
    }
}

bool same(const QVariant &stored, const QVariant &value)
{
    return stored == value || (isText(value) && stored.typeId() == QMetaType::QString &&
                               stored.toString() == value.toString());
}

} // namespace

QVariant iniValue(QStringView written)
{
    if (auto previous = previousReleaseValue(written))
        return *previous;
    if (written.size() >= 2 && (written.front() == u'"' || written.front() == u'\'') &&
        written.back() == written.front())
        return written.mid(1, written.size() - 2).toString();
    return written.toString();
}

QString iniWritten(const QVariant &value)
{
    if (!isText(value)) {
        QByteArray bytes;
        {
            QDataStream stream(&bytes, QIODevice::WriteOnly);
            stream.setVersion(QDataStream::Qt_4_0);
            stream << value;
        }
        return storeEscaped(
            QStringLiteral("@Variant(") + QString::fromLatin1(bytes) + QLatin1Char(')'), false);
    }
    const QString text = value.toString();
    const QString candidates[] = {
        text,
        QLatin1Char('"') + text + QLatin1Char('"'),
        storeWritten(text),
        storeEscaped(QStringLiteral("@String(") + text + QLatin1Char(')'), true),
    };
    for (const QString &written : candidates)
        if (!written.contains(u'\n') && !written.contains(u'\r') && written == trimmed(written) &&
            iniValue(written) == QVariant(text))
            return written;
    throw Failure(EINVAL, QStringLiteral("a settings file cannot keep the value \"%1\"").arg(text));
}

IniText::IniText(const QByteArray &bytes)
{
    m_byteOrderMark = bytes.startsWith(byteOrderMark);
    const QByteArray body = m_byteOrderMark ? bytes.mid(byteOrderMark.size()) : bytes;
    m_finalBreak = body.isEmpty() || body.endsWith('\n');
    // Bytes that are not UTF-8 (a folder's name in another encoding) are kept as they are.
    m_lines = decodeNativePath(body).split(QLatin1Char('\n'));
    if (m_finalBreak)
        m_lines.removeLast();
    QString group;
    for (qsizetype i = 0; i < m_lines.size() && m_problem.isEmpty(); ++i) {
        const Line line = parsed(i, group);
        group = line.group;
        if (!line.problem.isEmpty())
            m_problem = QStringLiteral("line %1 is %2").arg(QString::number(i + 1), line.problem);
    }
}

IniText::Line IniText::parsed(qsizetype index, const QString &group) const
{
    QStringView line = m_lines.at(index);
    if (line.endsWith(u'\r'))
        line.chop(1);
    line = trimmed(line);
    if (line.startsWith(u'[')) {
        const qsizetype end = line.lastIndexOf(u']');
        if (end < 0)
            return {group, false, {}, {}, QStringLiteral("a group name without its closing ]")};
        return {trimmed(line.mid(1, end - 1)).toString(), true, {}, {}, {}};
    }
    if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
        return {group, false, {}, {}, {}};
    const qsizetype equals = line.indexOf(u'=');
    const QString key = trimmed(line.left(equals)).toString();
    if (equals < 0 || key.isEmpty())
        return {group, false, {}, {}, QStringLiteral("neither [group] nor key=value")};
    return {group, false, key, trimmed(line.mid(equals + 1)).toString(), {}};
}

namespace {
bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}
} // namespace

QVariantMap IniText::group(const QString &name) const
{
    QVariantMap values;
    QString group = QStringLiteral("General");
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const Line line = parsed(i, group);
        group = line.group;
        // A key given twice counts as it was given last.
        if (sameName(group, name) && !line.key.isEmpty())
            putSetting(values, line.key, iniValue(line.value));
    }
    return values;
}

QStringList IniText::groupNames() const
{
    QStringList names;
    QString group = QStringLiteral("General");
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const Line line = parsed(i, group);
        group = line.group;
        if ((line.header || !line.key.isEmpty()) && !names.contains(group, Qt::CaseInsensitive))
            names << group;
    }
    return names;
}

bool IniText::set(const QString &name, const QVariantMap &values)
{
    const bool crlf = !m_lines.isEmpty() && m_lines.first().endsWith(u'\r');
    const QString lineEnd = crlf ? QStringLiteral("\r") : QString();
    bool changed = false;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        // Where the key stands, and where a new one goes: after the last value of the group's
        // first section.
        qsizetype at = -1;
        qsizetype after = -1;
        int sections = 0;
        QString group = QStringLiteral("General");
        for (qsizetype i = 0; i < m_lines.size(); ++i) {
            const Line line = parsed(i, group);
            group = line.group;
            if (line.header && sameName(group, name))
                ++sections;
            if (!sameName(group, name))
                continue;
            if (sameName(line.key, it.key()))
                at = i;
            else if (sections <= 1 && (line.header || !line.key.isEmpty()))
                after = i;
        }
        if (at >= 0 && same(iniValue(parsed(at, name).value), it.value()))
            continue;
        const QString text = it.key() + QLatin1Char('=') + iniWritten(it.value()) + lineEnd;
        if (at >= 0) {
            m_lines[at] = text;
        } else if (after >= 0) {
            m_lines.insert(after + 1, text);
        } else {
            if (!m_lines.isEmpty() && !trimmed(m_lines.last()).isEmpty())
                m_lines << lineEnd;
            m_lines << QLatin1Char('[') + name + QLatin1Char(']') + lineEnd << text;
        }
        changed = true;
    }
    if (changed)
        m_finalBreak = true;
    return changed;
}

QByteArray IniText::bytes() const
{
    QByteArray text = (m_byteOrderMark ? byteOrderMark : QByteArray()) +
                      nativePath(m_lines.join(QLatin1Char('\n')));
    if (m_finalBreak && !m_lines.isEmpty())
        text += '\n';
    return text;
}
