#pragma once

#include <QString>

#include <optional>

// The bytes an unprivileged account may still write on the volume that holds `path`; nothing
// when that cannot be found out (no such path, a share this platform does not mount).
std::optional<qint64> freeSpace(const QString &path);
