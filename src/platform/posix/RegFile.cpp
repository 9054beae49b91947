#include "platform/posix/RegFile.h"

#include "platform/FileSystem.h"

#include <QStringDecoder>

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
QString canonicalKey(QStringView path)
{
    while (path.endsWith(u'\\'))
        path.chop(1);
    const qsizetype slash = path.indexOf(u'\\');
    const QStringView first = slash < 0 ? path : path.left(slash);
    for (const RootName &root : roots) {
        if (first.compare(QLatin1String(root.longName), Qt::CaseInsensitive) == 0 ||
            first.compare(QLatin1String(root.shortName), Qt::CaseInsensitive) == 0) {
            QString key = QLatin1String(root.longName);
            if (slash >= 0)
                key.append(path.sliced(slash));
            return key.toCaseFolded();
        }
    }
    return QString();
}

// regedit writes UTF-16LE with a byte-order mark; older files are UTF-8 or single-byte. Text that
// is not UTF-8 keeps its bytes: each becomes the character that nativePath turns back into it, so
// a folder named in any single-byte encoding is found under the very bytes the file holds.
QString decode(const QByteArray &bytes)
{
    const bool utf16Mark = bytes.startsWith("\xFF\xFE");
    // Without its mark, UTF-16LE still shows in the header's first letter and the zero after it.
    const bool utf16Bare = bytes.size() >= 2 && bytes.at(0) != 0 && bytes.at(1) == 0;
    if (utf16Mark || utf16Bare) {
        const QByteArrayView body = QByteArrayView(bytes).sliced(utf16Mark ? 2 : 0);
        return QString::fromUtf16(reinterpret_cast<const char16_t *>(body.data()), body.size() / 2);
    }
    return decodeNativePath(bytes.startsWith("\xEF\xBB\xBF") ? bytes.sliced(3) : bytes);
}

// Reads a quoted string starting at `pos` (on the opening quote); \\ and \" are escapes. Leaves
// `pos` after the closing quote. Nothing when the string is not terminated.
std::optional<QString> quoted(QStringView line, qsizetype &pos)
{
    if (pos >= line.size() || line.at(pos) != u'"')
        return std::nullopt;
    QString out;
    for (qsizetype i = pos + 1; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == u'\\' && i + 1 < line.size() &&
            (line.at(i + 1) == u'\\' || line.at(i + 1) == u'"')) {
            out += line.at(++i);
        } else if (c == u'"') {
            pos = i + 1;
            return out;
        } else {
            out += c;
        }
    }
    return std::nullopt;
}

// A string as the query hands it back: the bytes the system takes for it, and the terminating
// zero. A path then reaches the file system exactly as the file spells it, whatever its script.
QByteArray nativeWithZero(const QString &text)
{
    QByteArray bytes = nativePath(text);
    bytes.append('\0');
    return bytes;
}

std::optional<QByteArray> hexBytes(QStringView list)
{
    QByteArray bytes;
    qsizetype start = 0;
    for (;;) {
        const qsizetype comma = list.indexOf(u',', start);
        const bool last = comma < 0;
        const QStringView part =
            (last ? list.sliced(start) : list.sliced(start, comma - start)).trimmed();
        if (part.isEmpty() && last)
            break; // a trailing comma
        bool ok = false;
        const uint byte = part.toUInt(&ok, 16);
        if (!ok || part.size() > 2 || byte > 0xFF)
            return std::nullopt;
        bytes.append(char(byte));
        if (last)
            break;
        start = comma + 1;
    }
    return bytes;
}

// String types written as hex data are UTF-16LE; the query hands them back as the system's bytes.
QByteArray stringTypeAsNative(const QByteArray &utf16)
{
    return nativePath(QString::fromUtf16(reinterpret_cast<const char16_t *>(utf16.constData()),
                                         utf16.size() / 2));
}

std::optional<RegistryValue> parseData(QStringView data)
{
    if (data.startsWith(u'"')) {
        qsizetype pos = 0;
        const auto text = quoted(data, pos);
        if (!text || !data.sliced(pos).trimmed().isEmpty())
            return std::nullopt;
        return RegistryValue{RegistryType::String, nativeWithZero(*text)};
    }
    const qsizetype colon = data.indexOf(u':');
    if (colon < 0)
        return std::nullopt;
    const QString tag = data.left(colon).trimmed().toString().toLower();
    const QStringView rest = data.sliced(colon + 1);
    if (tag == QLatin1String("dword")) {
        const QStringView digits = rest.trimmed();
        bool ok = false;
        const uint number = digits.toUInt(&ok, 16);
        if (!ok || digits.isEmpty() || digits.size() > 8 || digits.startsWith(u'-') ||
            digits.startsWith(u'+'))
            return std::nullopt;
        QByteArray bytes(4, '\0');
        for (int i = 0; i < 4; ++i)
            bytes[i] = char((number >> (8 * i)) & 0xFF);
        return RegistryValue{RegistryType::DWord, bytes};
    }
    quint32 type = 0;
    if (tag == QLatin1String("hex")) {
        type = RegistryType::Binary;
    } else if (tag.startsWith(QLatin1String("hex(")) && tag.endsWith(u')')) {
        bool ok = false;
        const QStringView code = QStringView(tag).sliced(4, tag.size() - 5);
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
        bytes = stringTypeAsNative(*bytes);
    return RegistryValue{type, *bytes};
}

// Hands each line to `visit`, physical lines joined where one ends with a backslash (long hex
// data is wrapped that way). Lines are looked at in place; only joined ones are copied.
template <typename Visit> void forEachLogicalLine(QStringView text, Visit visit)
{
    QString pending;
    bool continuing = false;
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = text.indexOf(u'\n', start);
        QStringView line = end < 0 ? text.sliced(start) : text.sliced(start, end - start);
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (continuing)
            line = line.trimmed();
        const QStringView trimmedEnd = line.trimmed();
        if (trimmedEnd.endsWith(u'\\') && !trimmedEnd.startsWith(u'[')) {
            pending += trimmedEnd.chopped(1);
            continuing = true;
        } else {
            if (pending.isEmpty()) {
                visit(line);
            } else {
                pending += line;
                visit(QStringView(pending));
                pending.clear();
            }
            continuing = false;
        }
        if (end < 0)
            break;
        start = end + 1;
    }
    if (!pending.isEmpty())
        visit(QStringView(pending));
}

} // namespace

RegFile RegFile::parse(const QByteArray &bytes)
{
    RegFile hive;
    bool seenFirst = false;
    Values *current = nullptr;
    forEachLogicalLine(decode(bytes), [&](QStringView logical) {
        const QStringView line = logical.trimmed();
        if (!seenFirst) {
            if (line.isEmpty())
                return;
            seenFirst = true;
            hive.m_hasHeader = line == QLatin1String("Windows Registry Editor Version 5.00") ||
                               line == QLatin1String("REGEDIT4");
            return;
        }
        if (!hive.m_hasHeader || line.isEmpty() || line.startsWith(u';'))
            return;
        if (line.startsWith(u'[')) {
            current = nullptr;
            if (!line.endsWith(u']') || line.startsWith(QLatin1String("[-")))
                return; // a removal, or not a key line at all
            const QString key = canonicalKey(line.sliced(1, line.size() - 2));
            if (!key.isEmpty())
                current = &hive.m_keys.try_emplace(key).first->second;
            return;
        }
        if (!current)
            return;

        QString name;
        qsizetype pos = 0;
        if (line.startsWith(u'@')) {
            pos = 1;
        } else {
            const auto quotedName = quoted(line, pos);
            if (!quotedName || quotedName->isEmpty())
                return;
            name = *quotedName;
        }
        while (pos < line.size() && line.at(pos).isSpace())
            ++pos;
        if (pos >= line.size() || line.at(pos) != u'=')
            return;
        const QStringView data = line.sliced(pos + 1).trimmed();
        const QString folded = name.toCaseFolded();
        if (data == QLatin1String("-")) {
            current->remove(folded);
            return;
        }
        if (const auto value = parseData(data))
            current->insert(folded, *value);
    });
    return hive;
}

namespace {

// The key's name as the file's keys are held; empty for a root the file does not name.
QString heldName(quint32 root, const QString &path)
{
    const char *name = rootName(root);
    if (!name)
        return QString();
    QString full = QLatin1String(name);
    if (!path.isEmpty())
        full += QLatin1Char('\\') + path;
    return canonicalKey(full);
}

} // namespace

const RegFile::Values *RegFile::key(quint32 root, const QString &path) const
{
    const QString wanted = heldName(root, path);
    if (wanted.isEmpty())
        return nullptr;
    const auto it = m_keys.find(wanted);
    if (it != m_keys.end())
        return &it->second;
    // A key brings its ancestors into being, as in the registry itself: the ancestor is any
    // prefix of a key that ends at a backslash, and those keys sort right after the prefix.
    static const Values none;
    const QString below = wanted + QLatin1Char('\\');
    const auto next = m_keys.lower_bound(below);
    return next != m_keys.end() && next->first.startsWith(below) ? &none : nullptr;
}

std::vector<NamedRegistryValue> RegFile::valuesBelow(quint32 root, const QString &path) const
{
    std::vector<NamedRegistryValue> out;
    const QString wanted = heldName(root, path);
    if (wanted.isEmpty())
        return out;
    // The keys that start with the name sort together; those of longer names among them are not
    // below it.
    for (auto it = m_keys.lower_bound(wanted); it != m_keys.end() && it->first.startsWith(wanted);
         ++it) {
        if (it->first != wanted && it->first.at(wanted.size()) != QLatin1Char('\\'))
            continue;
        for (auto value = it->second.cbegin(); value != it->second.cend(); ++value)
            out.push_back({value.key(), value.value()});
    }
    return out;
}
