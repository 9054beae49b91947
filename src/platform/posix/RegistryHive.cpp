#include "platform/posix/RegFile.h"

#include <QFile>

// The registry of this platform: a `.reg` file, read afresh on every key that is opened so that
// the served product's changes are seen without a restart. A missing or unreadable file means that
// every key is missing.
namespace {

class HiveKey : public RegistryKey {
public:
    explicit HiveKey(RegFile::Values values)
        : m_values(std::move(values))
    {
    }
    std::optional<RegistryValue> queryValue(const QString &name) const override
    {
        const auto it = m_values.constFind(name.toCaseFolded());
        if (it == m_values.constEnd())
            return std::nullopt;
        return it.value();
    }

private:
    RegFile::Values m_values;
};

class RegistryHive : public Registry {
public:
    explicit RegistryHive(QString path)
        : m_path(std::move(path))
    {
    }
    std::unique_ptr<RegistryKey> openKey(quint32 root, const QString &path) const override
    {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly))
            return nullptr;
        const RegFile hive = RegFile::parse(file.readAll());
        const RegFile::Values *values = hive.key(root, path);
        if (!values)
            return nullptr;
        return std::make_unique<HiveKey>(*values);
    }

private:
    QString m_path;
};

} // namespace

std::unique_ptr<Registry> makeRegistry()
{
    const QString path = qEnvironmentVariable("SORVIK_REGISTRY");
    return std::make_unique<RegistryHive>(
        path.isEmpty() ? QStringLiteral("/etc/sorvik/registry.reg") : path);
}
