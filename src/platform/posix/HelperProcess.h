#pragma once

#include <QByteArray>

#include <sys/types.h>
#include <utility>
#include <vector>

// The path of one of the program's helper programs: named by `variable` in the environment, or
// beside the running executable under `name`.
QByteArray helperProgram(const char *variable, const char *name);

// Starts a helper program with posix_spawn: nothing but exec runs between the two, so the helper
// starts alike whatever other threads of this process hold. Its signals are a new program's; it
// gets the descriptors in `handed` as (ours, its number) and, when `quiet`, /dev/null for its
// standard input and outputs. The process id, or -1 with the reason's errno value in `error`.
pid_t spawnHelper(const QByteArray &program, const std::vector<QByteArray> &arguments,
                  const std::vector<std::pair<int, int>> &handed, bool quiet, int &error);
