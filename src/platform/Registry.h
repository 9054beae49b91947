#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

// Predefined root keys, with the handle values the platform gives them.
namespace RegistryRoot {
constexpr quint32 ClassesRoot = 0x80000000;
constexpr quint32 CurrentUser = 0x80000001;
constexpr quint32 LocalMachine = 0x80000002;
constexpr quint32 Users = 0x80000003;
constexpr quint32 CurrentConfig = 0x80000005;
} // namespace RegistryRoot

// Registry value types (the registry's own codes).
namespace RegistryType {
constexpr quint32 String = 1;
constexpr quint32 ExpandString = 2;
constexpr quint32 Binary = 3;
constexpr quint32 DWord = 4;
constexpr quint32 MultiString = 7;
} // namespace RegistryType

// A value as the query returns it: string types as the bytes the system takes for names and paths
// (UTF-8, see nativePath) with the terminating zero, everything else as stored.
struct RegistryValue {
    quint32 type = 0;
    QByteArray data;
};

struct NamedRegistryValue {
    QString name; // case-folded
    RegistryValue value;
};

class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    // An empty name is the key's default value.
    virtual std::optional<RegistryValue> queryValue(const QString &name) const = 0;
};

// Read-only access to the registry. Key paths and value names compare without regard to case.
class Registry {
public:
    virtual ~Registry() = default;
    // Null when the key does not exist.
    virtual std::unique_ptr<RegistryKey> openKey(quint32 root, const QString &path) const = 0;
    // Every value of the key and of every key below it; none when there are none or the
    // registry cannot be read.
    virtual std::vector<NamedRegistryValue> valuesBelow(quint32 root, const QString &path) const
    {
        return {};
    }
    // Why the registry could not be read when a key was last opened; empty when it was read.
    virtual QString problem() const { return QString(); }
};

// The platform's registry; defined by the one backend that is built.
std::unique_ptr<Registry> makeRegistry();
// Where the platform's registry is kept, for the administrator to be told.
QString registryLocation();
