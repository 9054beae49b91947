#include "platform/posix/RegFile.h"

#include <QStringDecoder>
#include <QStringList>

#include <optional>

namespace {

struct RootName {
    const char *longName;
    const char *shortName;
    quint32 handle;
};

constexpr RootName roots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR", RegistryRoot::ClassesRoot},
    {"HKEY_CURRENT_USER", "HKCU", RegistryRoot::CurrentUser},
    {"HKEY_LOCAL_MACHINE", "HKLM", RegistryRoot::LocalMachine},
    {"HKEY_USERS", "HKU", RegistryRoot::Users},
    {"HKEY_CURRENT_CONFIG", "HKCC", RegistryRoot::CurrentConfig},
};

const char *rootName(quint32 handle)
{
    for (const RootName &root : roots)
        if (root.handle == handle)
            return root.longName;
    return nullptr;
}

// "ROOT\a\b" with the root spelled either way, folded for comparison; empty when the root is not
// one we know. A trailing backslash is ignored.
QString canonicalKey(const QString &fullPath)
{
    QString path = fullPath;
    while (path.endsWith(QLatin1Char('\\')))
        path.chop(1);
    const qsizetype slash = path.indexOf(QLatin1Char('\\'));
    const QString first = slash < 0 ? path : path.left(slash);
    for (const RootName &root : roots) {
        if (first.compare(QLatin1String(root.longName), Qt::CaseInsensitive) == 0 ||
            first.compare(QLatin1String(root.shortName), Qt::CaseInsensitive) == 0) {
            const QString rest = slash < 0 ? QString() : path.mid(slash);
            return (QLatin1String(root.longName) + rest).toCaseFolded();
        }
    }
    return QString();
}

QString decode(const QByteArray &bytes)
{
    if (bytes.startsWith("\xFF\xFE")) {
        const QByteArray body = bytes.mid(2);
        return QString::fromUtf16(reinterpret_cast<const char16_t *>(body.constData()),
                                  body.size() / 2);
    }
    QByteArray body = bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(body);
    // An old single-byte file is not UTF-8: take its bytes as ISO-8859-1.
    return utf8.hasError() ? QString::fromLatin1(body) : text;
}

// Reads a quoted string starting at `pos` (on the opening quote); \\ and \" are escapes. Leaves
// `pos` after the closing quote. Nothing when the string is not terminated.
std::optional<QString> quoted(const QString &line, qsizetype &pos)
{
    if (pos >= line.size() || line.at(pos) != QLatin1Char('"'))
        return std::nullopt;
    QString out;
    for (qsizetype i = pos + 1; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == QLatin1Char('\\') && i + 1 < line.size() &&
            (line.at(i + 1) == QLatin1Char('\\') || line.at(i + 1) == QLatin1Char('"'))) {
            out += line.at(++i);
        } else if (c == QLatin1Char('"')) {
            pos = i + 1;
            return out;
        } else {
            out += c;
        }
    }
    return std::nullopt;
}

QByteArray singleByteWithZero(const QString &text)
{
    QByteArray bytes = text.toLatin1();
    bytes.append('\0');
    return bytes;
}

std::optional<QByteArray> hexBytes(const QString &list)
{
    QByteArray bytes;
    const QStringList parts = list.split(QLatin1Char(','));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString part = parts.at(i).trimmed();
        if (part.isEmpty() && i == parts.size() - 1)
            break; // a trailing comma
        bool ok = false;
        const uint byte = part.toUInt(&ok, 16);
        if (!ok || part.size() > 2 || byte > 0xFF)
            return std::nullopt;
        bytes.append(char(byte));
    }
    return bytes;
}

// The single-byte query hands string types back converted from UTF-16.
QByteArray stringTypeAsSingleByte(const QByteArray &utf16)
{
    const QString text =
        QString::fromUtf16(reinterpret_cast<const char16_t *>(utf16.constData()), utf16.size() / 2);
    return text.toLatin1();
}

std::optional<RegistryValue> parseData(const QString &data)
{
    if (data.startsWith(QLatin1Char('"'))) {
        qsizetype pos = 0;
        const auto text = quoted(data, pos);
        if (!text || !data.mid(pos).trimmed().isEmpty())
            return std::nullopt;
        return RegistryValue{RegistryType::String, singleByteWithZero(*text)};
    }
    const qsizetype colon = data.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return std::nullopt;
    const QString tag = data.left(colon).trimmed().toLower();
    const QString rest = data.mid(colon + 1);
    if (tag == QLatin1String("dword")) {
        const QString digits = rest.trimmed();
        bool ok = false;
        const uint number = digits.toUInt(&ok, 16);
        if (!ok || digits.isEmpty() || digits.size() > 8 || digits.startsWith(QLatin1Char('-')) ||
            digits.startsWith(QLatin1Char('+')))
            return std::nullopt;
        QByteArray bytes(4, '\0');
        for (int i = 0; i < 4; ++i)
            bytes[i] = char((number >> (8 * i)) & 0xFF);
        return RegistryValue{RegistryType::DWord, bytes};
    }
    quint32 type = 0;
    if (tag == QLatin1String("hex")) {
        type = RegistryType::Binary;
    } else if (tag.startsWith(QLatin1String("hex(")) && tag.endsWith(QLatin1Char(')'))) {
        bool ok = false;
        const QString code = tag.mid(4, tag.size() - 5);
        type = code.toUInt(&ok, 16);
        if (!ok || code.isEmpty() || code.size() > 8)
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    auto bytes = hexBytes(rest);
    if (!bytes)
        return std::nullopt;
    if (type == RegistryType::String || type == RegistryType::ExpandString ||
        type == RegistryType::MultiString)
        bytes = stringTypeAsSingleByte(*bytes);
    return RegistryValue{type, *bytes};
}

// Physical lines joined where one ends with a backslash (long hex data is wrapped that way).
QStringList logicalLines(const QString &text)
{
    QStringList lines;
    QString pending;
    bool continuing = false;
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (continuing)
            line = line.trimmed();
        const QString trimmedEnd = line.trimmed();
        if (trimmedEnd.endsWith(QLatin1Char('\\')) && !trimmedEnd.startsWith(QLatin1Char('['))) {
            pending += trimmedEnd.left(trimmedEnd.size() - 1);
            continuing = true;
            continue;
        }
        lines.append(pending + line);
        pending.clear();
        continuing = false;
    }
    if (!pending.isEmpty())
        lines.append(pending);
    return lines;
}

} // namespace

RegFile RegFile::parse(const QByteArray &bytes)
{
    RegFile hive;
    const QStringList lines = logicalLines(decode(bytes));

    qsizetype first = 0;
    while (first < lines.size() && lines.at(first).trimmed().isEmpty())
        ++first;
    if (first >= lines.size())
        return hive;
    const QString header = lines.at(first).trimmed();
    if (header != QLatin1String("Windows Registry Editor Version 5.00") &&
        header != QLatin1String("REGEDIT4"))
        return hive;

    Values *current = nullptr;
    for (qsizetype i = first + 1; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            current = nullptr;
            if (!line.endsWith(QLatin1Char(']')) || line.startsWith(QLatin1String("[-")))
                continue; // a removal, or not a key line at all
            const QString key = canonicalKey(line.mid(1, line.size() - 2));
            if (key.isEmpty())
                continue;
            // A key brings its ancestors into being, as in the registry itself.
            for (qsizetype at = key.indexOf(QLatin1Char('\\')); at >= 0;
                 at = key.indexOf(QLatin1Char('\\'), at + 1))
                if (!hive.m_keys.contains(key.left(at)))
                    hive.m_keys.insert(key.left(at), Values());
            current = &hive.m_keys[key];
            continue;
        }
        if (!current)
            continue;

        QString name;
        qsizetype pos = 0;
        if (line.startsWith(QLatin1Char('@'))) {
            pos = 1;
        } else {
            const auto quotedName = quoted(line, pos);
            if (!quotedName || quotedName->isEmpty())
                continue;
            name = *quotedName;
        }
        while (pos < line.size() && line.at(pos).isSpace())
            ++pos;
        if (pos >= line.size() || line.at(pos) != QLatin1Char('='))
            continue;
        const QString data = line.mid(pos + 1).trimmed();
        const QString folded = name.toCaseFolded();
        if (data == QLatin1String("-")) {
            current->remove(folded);
            continue;
        }
        if (const auto value = parseData(data))
            current->insert(folded, *value);
    }
    return hive;
}

const RegFile::Values *RegFile::key(quint32 root, const QString &path) const
{
    const char *name = rootName(root);
    if (!name)
        return nullptr;
    QString full = QLatin1String(name);
    if (!path.isEmpty())
        full += QLatin1Char('\\') + path;
    const auto it = m_keys.constFind(canonicalKey(full));
    return it == m_keys.constEnd() ? nullptr : &it.value();
}
