#pragma once

#include <QObject>

#include <functional>

// Calls `onStop` from the event loop of `context`'s thread once the process is asked to stop
// (SIGTERM, SIGINT, SIGHUP), so that the stop runs the program's own orderly end instead of
// cutting it anywhere. Work that lets events through sees it at its next pause; a second request
// before the first was seen ends the process at once with status 1.
void watchStopRequests(QObject *context, std::function<void()> onStop);
