#pragma once

#include "app/Dialogs.h"

// Dialogs for an unattended run, where nobody can answer: every text goes to stderr and to the
// system log, and the answer is the box's default button at once. Input and folder choice are
// cancelled.
class SilentDialogs : public Dialogs {
public:
    DialogAnswer messageBox(const QString &text, MessageButtons buttons = MessageButtons::OK,
                            const QString &title = QString()) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &preset) override;
    QString browseForFolder(const QString &title, const QString &startFolder) override;
};
