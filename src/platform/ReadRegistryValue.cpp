#include "platform/ReadRegistryValue.h"

#include "common/Failure.h"
#include "platform/FileSystem.h"
#include "platform/Registry.h"

#include <cstring>

namespace {
// The query's buffer sizes: data that does not fit is not read at all.
constexpr qsizetype stringBuffer = 1024;
constexpr qsizetype binaryBuffer = 4096;
constexpr qsizetype numberBuffer = 4;

std::optional<QByteArray> query(const RegistryKey &key, const QString &name, qsizetype buffer)
{
    const auto value = key.queryValue(name);
    if (!value || value->data.size() > buffer)
        return std::nullopt;
    return value->data;
}
} // namespace

QVariant ReadRegistryValue(const Registry &registry, quint32 root, const QString &keyPath,
                           const QString &valueName, qint16 kind, const QVariant &defaultValue)
{
    const auto key = registry.openKey(root, keyPath);
    if (!key)
        return defaultValue;

    switch (kind) {
    case RegistryKind::String: {
        const auto data = query(*key, valueName, stringBuffer);
        if (!data)
            return defaultValue;
        // The returned size counts the terminating zero, which is dropped.
        if (data->isEmpty())
            throw invalidArgument(QStringLiteral("a string value of zero bytes"));
        return decodeNativePath(data->left(data->size() - 1));
    }
    case RegistryKind::Binary: {
        const auto data = query(*key, valueName, binaryBuffer);
        if (!data)
            return defaultValue;
        if (data->isEmpty())
            throw invalidArgument(QStringLiteral("a binary value of zero bytes"));
        return *data;
    }
    case RegistryKind::Number: {
        const auto data = query(*key, valueName, numberBuffer);
        if (!data)
            return defaultValue;
        // Shorter data fills the low bytes of a zeroed buffer, as the query leaves it.
        unsigned char bytes[4] = {0, 0, 0, 0};
        std::memcpy(bytes, data->constData(), size_t(data->size()));
        const quint32 number = bytes[0] | (quint32(bytes[1]) << 8) | (quint32(bytes[2]) << 16) |
                               (quint32(bytes[3]) << 24);
        return QVariant::fromValue(qint32(number));
    }
    default:
        throw Failure(1001, QStringLiteral("Unsupported value type"));
    }
}

bool RegistryStringTooLong(const Registry &registry, quint32 root, const QString &keyPath,
                           const QString &valueName)
{
    const auto key = registry.openKey(root, keyPath);
    if (!key)
        return false;
    const auto value = key->queryValue(valueName);
    return value && value->data.size() > stringBuffer;
}
