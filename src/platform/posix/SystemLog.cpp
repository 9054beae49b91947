#include "platform/SystemLog.h"

#include "common/ControlText.h"

#include <cstdio>
#include <syslog.h>

void tellSystem(const QString &source, const QString &text)
{
    const QByteArray name = escapeControls(source).toLocal8Bit();
    const QByteArray bytes = escapeControls(text).toLocal8Bit();
    std::fprintf(stderr, "%s: %s\n", name.constData(), bytes.constData());
    std::fflush(stderr);
    ::openlog(name.constData(), LOG_PID, LOG_USER);
    ::syslog(LOG_WARNING, "%s", bytes.constData());
    ::closelog();
}
