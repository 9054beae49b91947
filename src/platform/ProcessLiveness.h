#pragma once

#include <QtGlobal>

// True while a process of that id exists on this computer (also when it is another account's).
bool processExists(qint64 pid);
