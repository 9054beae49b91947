#pragma once

#include <QString>

enum class MessageButtons { OK, YesNo, OKCancel };
enum class DialogAnswer { OK, Cancel, Yes, No };

// The caption of every message and input box that has no title of its own.
inline QString programTitle()
{
    return QStringLiteral("Sorvik");
}

// The one way the program asks the person in front of it. Boxes carry no icon; an empty title
// means the program's title.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual DialogAnswer messageBox(const QString &text,
                                    MessageButtons buttons = MessageButtons::OK,
                                    const QString &title = QString()) = 0;
    // The text entered, or "" when cancelled.
    virtual QString inputBox(const QString &prompt, const QString &title,
                             const QString &preset) = 0;
    // The chosen folder, or "" when cancelled.
    virtual QString browseForFolder(const QString &title) = 0;
};
