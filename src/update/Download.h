#pragma once

#include <QString>

// Fetches an address over HTTP and gives the body as single-byte text (one character per byte),
// or "" when nothing could be fetched. The window is kept drawn but takes no input meanwhile.
// Gives up once nothing has arrived for `idleTimeoutMs`, and reads at most `maximumBytes`: an
// endless or hostile answer must neither hang nor exhaust the program.
QString DownloadUrlText(const QString &address, int idleTimeoutMs = 30000,
                        qint64 maximumBytes = 16 * 1024 * 1024);
