#pragma once

#include <QString>

// Whether a window that opens looks for a newer version of the program: Check under [Update] in
// the settings, "true" (the default) or "false", in any letter case.
struct UpdateCheckSetting {
    bool check = true;
    // The settings file the value came from; empty for the default.
    QString file;
    // Why the value, or the settings file, cannot be read; empty when it can. Then the window
    // does not look: somebody meant to set it.
    QString problem;
};

UpdateCheckSetting readUpdateCheckSetting(const QString &application);
