#include "app/LoggingFolder.h"

#include "platform/ReadRegistryValue.h"
#include "platform/Registry.h"

QString loggingFolderKey()
{
    return QStringLiteral("SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0");
}

QString loggingFolderValue()
{
    return QStringLiteral("Output Path");
}

QString ReadLoggingFolder(const Registry &registry)
{
    return ReadRegistryValue(registry, RegistryRoot::LocalMachine, loggingFolderKey(),
                             loggingFolderValue(), RegistryKind::String, QString())
        .toString();
}

bool LoggingFolderTooLong(const Registry &registry)
{
    return RegistryStringTooLong(registry, RegistryRoot::LocalMachine, loggingFolderKey(),
                                 loggingFolderValue());
}

LogKind logKindOf(const QString &fileName)
{
    const QStringView prefix = QStringView(fileName).left(5);
    if (prefix.compare(QLatin1String("data_"), Qt::CaseInsensitive) == 0)
        return LogKind::Data;
    if (prefix.compare(QLatin1String("diag_"), Qt::CaseInsensitive) == 0)
        return LogKind::Diag;
    return LogKind::Other;
}
