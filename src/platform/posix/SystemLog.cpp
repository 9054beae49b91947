#include "platform/SystemLog.h"

#include <cstdio>
#include <syslog.h>

void tellSystem(const QString &source, const QString &text)
{
    const QByteArray name = source.toLocal8Bit();
    const QByteArray bytes = text.toLocal8Bit();
    std::fprintf(stderr, "%s: %s\n", name.constData(), bytes.constData());
    std::fflush(stderr);
    ::openlog(name.constData(), LOG_PID, LOG_USER);
    ::syslog(LOG_WARNING, "%s", bytes.constData());
    ::closelog();
}
