#include "app/SilentDialogs.h"

#include <cstdio>
#include <syslog.h>

namespace {
void tell(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fprintf(stderr, "%s: %s\n", programTitle().toLocal8Bit().constData(), bytes.constData());
    std::fflush(stderr);
    ::openlog("Sorvik", LOG_PID, LOG_USER);
    ::syslog(LOG_WARNING, "%s", bytes.constData());
    ::closelog();
}
} // namespace

DialogAnswer SilentDialogs::messageBox(const QString &text, MessageButtons buttons,
                                       const QString &title)
{
    tell(text);
    return buttons == MessageButtons::YesNo ? DialogAnswer::Yes : DialogAnswer::OK;
}

QString SilentDialogs::inputBox(const QString &prompt, const QString &title, const QString &preset)
{
    tell(prompt);
    return QString();
}

QString SilentDialogs::browseForFolder(const QString &title)
{
    return QString();
}
