#pragma once

#include <QString>

class Registry;

// The registry key under HKEY_LOCAL_MACHINE whose value "Output Path" names the served product's
// logging folder.
QString loggingFolderKey();
QString loggingFolderValue();

// The logging folder as the registry names it; "" when the key or value is missing or too long.
// Has no trap of its own: a failure reaches the caller.
QString ReadLoggingFolder(const Registry &registry);
// Whether the value is there but too long for the string query (1,023 bytes and its zero).
bool LoggingFolderTooLong(const Registry &registry);

// Whether a run takes a file of the logging folder: a data_ file as it is, a diag_ file as its
// readable copy (the prefix in any letter case); anything else stays out of the archive.
enum class LogKind { Data, Diag, Other };
LogKind logKindOf(const QString &fileName);
