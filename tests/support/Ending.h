#pragma once

#include "support/TestEnvironment.h"

#include <functional>
#include <optional>

// The status the program ended with while running `step`, or nothing when the step came back.
inline std::optional<int> endStatusOf(const std::function<void()> &step)
{
    try {
        step();
    } catch (const ProgramEnded &ended) {
        return ended.status;
    }
    return std::nullopt;
}
