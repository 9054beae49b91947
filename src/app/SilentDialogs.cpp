#include "app/SilentDialogs.h"

#include "platform/SystemLog.h"

DialogAnswer SilentDialogs::messageBox(const QString &text, MessageButtons buttons,
                                       const QString &title)
{
    tellSystem(programTitle(), text);
    return buttons == MessageButtons::YesNo ? DialogAnswer::Yes : DialogAnswer::OK;
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
