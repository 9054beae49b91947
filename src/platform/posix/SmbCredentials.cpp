#include "platform/posix/SmbCredentials.h"

#include "platform/FileSystem.h"
#include "platform/WholeTransfer.h"

#include <QDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A credentials file is a few lines; anything larger is not one.
constexpr qsizetype maximumSize = 64 * 1024;

void wipe(QByteArray &secret)
{
    if (!secret.isEmpty() && !secret.isDetached())
        return; // shared with another copy, which wipes it when it goes
    volatile char *bytes = secret.data();
    for (qsizetype i = 0; i < secret.size(); ++i)
        bytes[i] = 0;
}

[[noreturn]] void refuse(int error, const QString &why)
{
    throw FileSystemError(error, QStringLiteral("Cannot use the credentials file"),
                          SmbCredentials::filePath(), why);
}

} // namespace

SmbCredentials::~SmbCredentials()
{
    wipe(password);
}

QString SmbCredentials::filePath()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/Sorvik/smb-credentials");
}

SmbCredentials SmbCredentials::load()
{
    // Not through a link (it could lead anywhere another account chose), and without blocking on
    // a FIFO planted in its place.
    const int fd = ::open(nativePath(filePath()).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0 && errno == ENOENT)
        return SmbCredentials();
    if (fd < 0 && errno == ELOOP)
        refuse(ELOOP, QStringLiteral("it is a symbolic link; it must be a file of its own"));
    if (fd < 0)
        refuse(errno, QString::fromLocal8Bit(std::strerror(errno)));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    struct stat st;
    if (::fstat(fd, &st) != 0)
        refuse(errno, QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISREG(st.st_mode))
        refuse(EINVAL, QStringLiteral("it is not a regular file"));
    if (st.st_uid != ::geteuid())
        refuse(EPERM, QStringLiteral("it belongs to another account (uid %1); it must be owned "
                                     "by the account that runs the program (uid %2)")
                          .arg(st.st_uid)
                          .arg(::geteuid()));
    if ((st.st_mode & 077) != 0)
        refuse(EPERM, QStringLiteral("other accounts may read or change it (mode %1); make it "
                                     "private with chmod 600")
                          .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')));
    if (st.st_size > maximumSize)
        refuse(EFBIG, QStringLiteral("it is larger than %1 bytes").arg(maximumSize));

    QByteArray text(qsizetype(st.st_size) + 1, Qt::Uninitialized);
    const Transferred read = transferWhole(size_t(text.size()), [&](size_t done) {
        return ::read(fd, text.data() + done, size_t(text.size()) - done);
    });
    if (read.error != 0) {
        wipe(text);
        refuse(read.error, QString::fromLocal8Bit(std::strerror(read.error)));
    }
    text.truncate(qsizetype(read.bytes));
    SmbCredentials credentials = parse(text);
    wipe(text);
    if (credentials.user.isEmpty())
        refuse(EINVAL, QStringLiteral("it names no user (a line username=...)"));
    return credentials;
}

SmbCredentials SmbCredentials::parse(const QByteArray &text)
{
    SmbCredentials credentials;
    credentials.kind = Kind::File;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArray key = line.left(equals).trimmed().toLower();
        // The value as written: a password may begin or end with blanks.
        const QByteArray value = line.mid(equals + 1);
        if (key == "username" || key == "user") {
            credentials.user = value.trimmed();
            // mount.cifs also takes the domain in front of the name.
            const qsizetype slash = credentials.user.indexOf('/') >= 0
                                        ? credentials.user.indexOf('/')
                                        : credentials.user.indexOf('\\');
            if (slash > 0) {
                credentials.domain = credentials.user.left(slash);
                credentials.user = credentials.user.mid(slash + 1);
            }
        } else if (key == "password" || key == "pass") {
            credentials.password = value;
            credentials.passwordGiven = true;
        } else if (key == "domain" || key == "dom" || key == "workgroup") {
            credentials.domain = value.trimmed();
        }
    }
    return credentials;
}

QString SmbCredentials::likelySlip() const
{
    const QString file = filePath();
    if (kind == Kind::KerberosOrGuest)
        return QStringLiteral("there is no credentials file %1, so a Kerberos ticket or the "
                              "server's guest access was tried")
            .arg(file);
    if (!passwordGiven)
        return QStringLiteral("the credentials file %1 has no password= line").arg(file);
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    if (!password.isEmpty() && (blank(password.front()) || blank(password.back())))
        return QStringLiteral("the password in the credentials file %1 begins or ends with a "
                              "blank, which counts as part of it: write password=... without "
                              "blanks around it")
            .arg(file);
    return QString();
}
