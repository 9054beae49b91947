#pragma once

#include <QString>

class Program;

// Starts "<program folder>/test.bat <version> <address>" through /bin/sh, detached, and returns at
// once. Nothing about it is ever reported: a missing script is no concern of the user's.
void checkForUpdatedVersion_Background(Program &program, const QString &address);
