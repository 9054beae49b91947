#include "platform/Components.h"

#include "common/Failure.h"
#include "platform/ReadRegistryValue.h"
#include "platform/Registry.h"

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

class LoadedDiagLineFormatter : public DiagLineFormatter {
public:
    struct Entry {
        decltype(orvel_diag_formatter_create) *create;
        decltype(orvel_diag_formatter_format_line) *format;
        decltype(orvel_diag_formatter_destroy) *destroy;
        decltype(orvel_free) *release;
    };

    LoadedDiagLineFormatter(Library library, Entry entry, void *instance)
        : m_library(std::move(library))
        , m_entry(entry)
        , m_instance(instance)
    {
    }
    ~LoadedDiagLineFormatter() override { m_entry.destroy(m_instance); }

    QString FormatLine(const QString &line) override
    {
        const QByteArray bytes = line.toLatin1();
        char *text = nullptr;
        char *error = nullptr;
        size_t length = 0;
        const int status = m_entry.format(m_instance, bytes.constData(), size_t(bytes.size()),
                                          &text, &length, &error);
        // Taken over before anything can throw, so that the component's memory always goes back.
        const QString result = text ? QString::fromLatin1(text, qsizetype(length)) : QString();
        const QString problem = error ? QString::fromLatin1(error) : QString();
        m_entry.release(text);
        m_entry.release(error);
        if (status != 0)
            throw Failure(status, problem.isEmpty()
                                      ? QStringLiteral("the diagnostic line formatter failed")
                                      : problem);
        return result;
    }

private:
    Library m_library;
    Entry m_entry;
    void *m_instance;
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
        const Library library = load(QStringLiteral(ORVEL_DIAG_FORMATTER_CLSID));
        if (!library)
            return nullptr;
        const LoadedDiagLineFormatter::Entry entry{
            symbol<decltype(orvel_diag_formatter_create)>(library, "orvel_diag_formatter_create"),
            symbol<decltype(orvel_diag_formatter_format_line)>(library,
                                                               "orvel_diag_formatter_format_line"),
            symbol<decltype(orvel_diag_formatter_destroy)>(library, "orvel_diag_formatter_destroy"),
            symbol<decltype(orvel_free)>(library, "orvel_free")};
        if (!entry.create || !entry.format || !entry.destroy || !entry.release)
            return nullptr;
        void *instance = entry.create();
        if (!instance)
            return nullptr;
        return std::make_unique<LoadedDiagLineFormatter>(library, entry, instance);
    }

private:
    Library load(const QString &clsid) const
    {
        QString path;
        trapSilently([&] {
            path = ReadRegistryValue(m_registry, RegistryRoot::ClassesRoot,
                                     QStringLiteral("CLSID\\%1\\InprocServer32").arg(clsid),
                                     QString(), RegistryKind::String, QString())
                       .toString();
        });
        return openLibrary(path);
    }

    const Registry &m_registry;
};

} // namespace

std::unique_ptr<Components> makeComponents(const Registry &registry)
{
    return std::make_unique<ComponentLoader>(registry);
}
