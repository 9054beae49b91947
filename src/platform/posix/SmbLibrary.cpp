#define SORVIK_SMB_LIBRARY_ITSELF
#include "platform/posix/SmbLibrary.h"

#include <dlfcn.h>

namespace SmbLibrary {

thread_local std::function<void()> t_answered;

namespace {

struct Loaded {
    Calls calls;
    QString failure;
};

Loaded load()
{
    Loaded loaded;
    // Never closed: its libraries stay for the life of the process, as if linked.
    void *library = ::dlopen("libsmbclient.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        loaded.failure = QStringLiteral("the SMB client library cannot be loaded: %1")
                             .arg(QString::fromLocal8Bit(::dlerror()));
        return loaded;
    }
#define SORVIK_SMB_LOOK_UP(name)                                                                   \
    loaded.calls.name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name));              \
    if (!loaded.calls.name && loaded.failure.isEmpty())                                            \
        loaded.failure =                                                                           \
            QStringLiteral("the SMB client library has no %1").arg(QLatin1String(#name));
    SORVIK_SMB_CALLS(SORVIK_SMB_LOOK_UP)
#undef SORVIK_SMB_LOOK_UP
    return loaded;
}

const Loaded &loaded()
{
    static const Loaded once = load();
    return once;
}

} // namespace

const QString &open()
{
    return loaded().failure;
}

const Calls &calls()
{
    return loaded().calls;
}

} // namespace SmbLibrary
