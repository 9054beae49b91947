#pragma once

#include <QString>

#include <functional>
#include <memory>

// Yes and No, Yes the default; or No the default, for a question whose Yes cannot be undone.
enum class MessageButtons { OK, YesNo, OKCancel, YesNoDefaultNo };
enum class DialogAnswer { OK, Cancel, Yes, No };

// The caption of every message and input box that has no title of its own.
inline QString programTitle()
{
    return QStringLiteral("Sorvik");
}

// Shows that work is under way for as long as it lives.
class BusyNotice {
public:
    virtual ~BusyNotice() = default;
};

// The one way the program asks the person in front of it. Boxes carry no icon; an empty title
// means the program's title.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual DialogAnswer messageBox(const QString &text,
                                    MessageButtons buttons = MessageButtons::OK,
                                    const QString &title = QString()) = 0;
    // A box that returns at once and hands its answer to `answered` once it is given: for a
    // command that goes on without waiting (the update check). Such boxes come one after the
    // other. Where nobody waits for an answer anyway, it is given at once.
    virtual void messageBoxLater(const QString &text, MessageButtons buttons, const QString &title,
                                 const std::function<void(DialogAnswer)> &answered)
    {
        const DialogAnswer answer = messageBox(text, buttons, title);
        if (answered)
            answered(answer);
    }
    // The text entered, or "" when cancelled.
    virtual QString inputBox(const QString &prompt, const QString &title,
                             const QString &preset) = 0;
    // The chosen folder, or "" when cancelled; the browser opens at `startFolder` when it exists.
    virtual QString browseForFolder(const QString &title, const QString &startFolder) = 0;
    // Tells that work is under way, offering Cancel, which calls `cancel`; gone with the notice.
    // Nobody to tell, nothing shown.
    virtual std::unique_ptr<BusyNotice> showBusy(const QString &text,
                                                 const std::function<void()> &cancel)
    {
        return nullptr;
    }
};
