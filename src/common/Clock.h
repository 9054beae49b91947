#pragma once

#include <QDateTime>

#include <functional>

// Where the program reads the time of day: the system clock, or a fixed one in tests.
using Clock = std::function<QDateTime()>;

// The system clock, as a type of its own: a reader that needs only the second (the run log's time
// stamps) can tell it from a test's clock and ask the system directly, which costs far less than a
// local QDateTime.
struct SystemClock {
    QDateTime operator()() const { return QDateTime::currentDateTime(); }
};

inline Clock systemClock()
{
    return SystemClock();
}
