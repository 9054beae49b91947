#pragma once

#include "platform/Launcher.h"

// Hands files and addresses to the desktop (its default application for each), not waiting.
class DesktopLauncher : public Launcher {
public:
    int open(const QString &target) override;
};
