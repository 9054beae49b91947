#include "platform/ProcessPriority.h"

#include <optional>
#include <sys/resource.h>

namespace {
std::optional<int> niceValue(qint32 priorityClass)
{
    switch (priorityClass) {
    case PriorityClass::Idle:
        return 19;
    case PriorityClass::BelowNormal:
        return 10;
    case PriorityClass::Normal:
        return 0;
    case PriorityClass::AboveNormal:
        return -5;
    case PriorityClass::High:
        return -10;
    case PriorityClass::Realtime:
        return -20;
    default:
        return std::nullopt;
    }
}
} // namespace

bool SetProcessPriority(qint32 priorityClass)
{
    const auto nice = niceValue(priorityClass);
    return nice && ::setpriority(PRIO_PROCESS, 0, *nice) == 0;
}
