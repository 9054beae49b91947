#pragma once

#include "app/SetUpCheck.h"

#include <QDateTime>

// The scheduled tasks as "--check" shows them, read by the same scheduler the window uses: each
// with its next run after `now`, or that it is disabled. Fails when the task folder cannot be
// read, or when a task starts a program that is not there.
SetUpCheck scheduledTasksCheck(const QDateTime &now);
