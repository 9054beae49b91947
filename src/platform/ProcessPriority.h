#pragma once

#include <QtGlobal>

namespace PriorityClass {
constexpr qint32 Idle = 0x40;
constexpr qint32 BelowNormal = 0x4000;
constexpr qint32 Normal = 0x20;
constexpr qint32 AboveNormal = 0x8000;
constexpr qint32 High = 0x80;
constexpr qint32 Realtime = 0x100;
} // namespace PriorityClass

// Gives the own process the scheduling priority that stands for the priority class. True when it
// was set; false for an unknown class or when the system refuses.
bool SetProcessPriority(qint32 priorityClass);
