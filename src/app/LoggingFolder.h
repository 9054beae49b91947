#pragma once

#include <QString>

class Registry;

// Where the served product keeps its logging folder: the value "Output Path" of this key under
// HKEY_LOCAL_MACHINE.
extern const QString loggingFolderKey;
extern const QString loggingFolderValue;

// The logging folder as the registry names it; "" when the key or value is missing or too long.
// Raises what ReadRegistryValue raises.
QString ReadLoggingFolder(const Registry &registry);
// Whether the value is there but too long for the string query (1,023 bytes and its zero).
bool LoggingFolderTooLong(const Registry &registry);
