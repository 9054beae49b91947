#pragma once

#include <QDateTime>

#include <functional>

// Where the program reads the time of day: the system clock, or a fixed one in tests.
using Clock = std::function<QDateTime()>;

inline Clock systemClock()
{
    return [] { return QDateTime::currentDateTime(); };
}
