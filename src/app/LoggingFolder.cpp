#include "app/LoggingFolder.h"

#include "platform/ReadRegistryValue.h"
#include "platform/Registry.h"

const QString loggingFolderKey = QStringLiteral("SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0");
const QString loggingFolderValue = QStringLiteral("Output Path");

QString ReadLoggingFolder(const Registry &registry)
{
    return ReadRegistryValue(registry, RegistryRoot::LocalMachine, loggingFolderKey,
                             loggingFolderValue, RegistryKind::String, QString())
        .toString();
}

bool LoggingFolderTooLong(const Registry &registry)
{
    return RegistryStringTooLong(registry, RegistryRoot::LocalMachine, loggingFolderKey,
                                 loggingFolderValue);
}
