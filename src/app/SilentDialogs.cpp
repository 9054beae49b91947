#include "app/SilentDialogs.h"

#include "platform/SystemLog.h"
#include "runlog/LogPane.h"

DialogAnswer SilentDialogs::messageBox(const QString &text, MessageButtons buttons,
                                       const QString &title)
{
    tellSystem(programTitle(), text, systemLogPriorityOf(text));
    switch (buttons) {
    case MessageButtons::YesNo:
        return DialogAnswer::Yes;
    case MessageButtons::YesNoDefaultNo:
        return DialogAnswer::No;
    default:
        return DialogAnswer::OK;
    }
}

QString SilentDialogs::inputBox(const QString &prompt, const QString &title, const QString &preset)
{
    tellSystem(programTitle(), prompt);
    return QString();
}

QString SilentDialogs::browseForFolder(const QString &title, const QString &startFolder)
{
    return QString();
}
