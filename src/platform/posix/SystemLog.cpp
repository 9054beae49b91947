#include "platform/SystemLog.h"

#include "common/ControlText.h"

#include <QDateTime>
#include <QLocale>

#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// What the system's own log daemon would be handed: "<priority>Mmm dd hh:mm:ss tag[pid]: text".
void sendTo(const QByteArray &socketPath, int priority, const QByteArray &tag,
            const QByteArray &text)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= qsizetype(sizeof address.sun_path))
        return;
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const QByteArray stamp =
        QLocale::c().toString(QDateTime::currentDateTime(), u"MMM dd hh:mm:ss").toLatin1();
    const QByteArray message = '<' + QByteArray::number(LOG_USER | priority) + '>' + stamp + ' ' +
                               tag + '[' + QByteArray::number(::getpid()) + "]: " + text;
    [[maybe_unused]] const ssize_t sent =
        ::sendto(fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr *>(&address), sizeof address);
    ::close(fd);
}

} // namespace

void tellSystem(const QString &source, const QString &text, SystemLogPriority priority)
{
    const QByteArray name = escapeControls(source).toLocal8Bit();
    const QByteArray bytes = escapeControls(text).toLocal8Bit();
    std::fprintf(stderr, "%s: %s\n", name.constData(), bytes.constData());
    std::fflush(stderr);
    const int level = priority == SystemLogPriority::Error ? LOG_ERR : LOG_WARNING;
    const QByteArray socketPath = qgetenv("SORVIK_SYSLOG_SOCKET");
    if (!socketPath.isEmpty()) {
        sendTo(socketPath, level, name, bytes);
        return;
    }
    ::openlog(name.constData(), LOG_PID, LOG_USER);
    ::syslog(level, "%s", bytes.constData());
    ::closelog();
}
