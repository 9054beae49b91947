#pragma once

#include <QObject>

#include <functional>

// Calls `onStop` from the event loop of `context`'s thread once the process is asked to stop
// (SIGTERM, SIGINT, SIGHUP), whichever thread the signal lands on, so that the stop runs the
// program's own orderly end instead of cutting it anywhere. The window's thread keeps its loop
// running while an archive run works on its own thread, so the request is heard at once; a second
// request before the first was done ends the process at once with status 1, saying so on stderr.
void watchStopRequests(QObject *context, std::function<void()> onStop);
