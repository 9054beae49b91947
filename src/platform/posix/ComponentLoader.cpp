#include "platform/Components.h"

#include "common/Failure.h"
#include "platform/ReadRegistryValue.h"
#include "platform/Registry.h"
#include "platform/posix/DiagFormatterProcess.h"

#include "orvel_components.h"

#include <QFile>

#include <dlfcn.h>

// Components are shared libraries registered as in-process servers: the default value of
// HKEY_CLASSES_ROOT\CLSID\{class}\InprocServer32 names the library.
namespace {

using Library = std::shared_ptr<void>;

Library openLibrary(const QString &path)
{
    if (path.isEmpty())
        return nullptr;
    void *handle = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return nullptr;
    return Library(handle, [](void *h) { ::dlclose(h); });
}

template <typename Function> Function *symbol(const Library &library, const char *name)
{
    return reinterpret_cast<Function *>(::dlsym(library.get(), name));
}

class LoadedStatusObject : public OrvelStatusObject {
public:
    LoadedStatusObject(Library library, decltype(orvel_status_read) *read)
        : m_library(std::move(library))
        , m_read(read)
    {
    }
    std::optional<qint32> status() override
    {
        int32_t value = 0;
        if (m_read(&value) != 0)
            return std::nullopt;
        return value;
    }

private:
    Library m_library;
    decltype(orvel_status_read) *m_read;
};

class ComponentLoader : public Components {
public:
    explicit ComponentLoader(const Registry &registry)
        : m_registry(registry)
    {
    }

    std::unique_ptr<OrvelStatusObject> createStatusObject() override
    {
        const Library library = load(QStringLiteral(ORVEL_STATUS_OBJECT_CLSID));
        if (!library)
            return nullptr;
        auto *read = symbol<decltype(orvel_status_read)>(library, "orvel_status_read");
        if (!read)
            return nullptr;
        return std::make_unique<LoadedStatusObject>(library, read);
    }

    std::unique_ptr<DiagLineFormatter> createDiagLineFormatter() override
    {
        const QString path = libraryPath(QStringLiteral(ORVEL_DIAG_FORMATTER_CLSID));
        const Library library = openLibrary(path);
        if (!library)
            return nullptr;
        for (const char *name : {"orvel_diag_formatter_create", "orvel_diag_formatter_format_line",
                                 "orvel_diag_formatter_destroy", "orvel_free"})
            if (!::dlsym(library.get(), name))
                return nullptr;
        // The component runs in a helper process, where its crash or hang costs one file; it is
        // loaded here only to learn that it can be.
        return makeDiagFormatterProcess(path);
    }

private:
    Library load(const QString &clsid) const { return openLibrary(libraryPath(clsid)); }

    QString libraryPath(const QString &clsid) const
    {
        QString path;
        trapSilently([&] {
            path = ReadRegistryValue(m_registry, RegistryRoot::ClassesRoot,
                                     QStringLiteral("CLSID\\%1\\InprocServer32").arg(clsid),
                                     QString(), RegistryKind::String, QString())
                       .toString();
        });
        return path;
    }

    const Registry &m_registry;
};

} // namespace

std::unique_ptr<Components> makeComponents(const Registry &registry)
{
    return std::make_unique<ComponentLoader>(registry);
}
