#include "platform/PassphraseFile.h"

#include "common/ControlText.h"
#include "common/Failure.h"
#include "platform/FileSystem.h"
#include "platform/WholeTransfer.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString accountName(uid_t uid)
{
    const passwd *account = ::getpwuid(uid);
    return account ? QString::fromLocal8Bit(account->pw_name) : QString::number(uid);
}

[[noreturn]] void refuse(int number, const QString &path, const QString &why)
{
    throw Failure(
        number,
        QStringLiteral("the passphrase file %1 cannot be used: %2").arg(shownPath(path), why));
}

// Closes the descriptor on every way out.
struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Wipes a buffer that held the secret on every way out.
struct Wiped {
    char *bytes;
    size_t length;
    ~Wiped() { OPENSSL_cleanse(bytes, length); }
};

} // namespace

Passphrase::Passphrase(const char *bytes, size_t length)
    : m_data(new char[length ? length : 1])
    , m_size(length)
{
    std::memcpy(m_data.get(), bytes, length);
}

Passphrase::~Passphrase()
{
    OPENSSL_cleanse(m_data.get(), m_size);
}

std::shared_ptr<const Passphrase> readPassphraseFile(const QString &path)
{
    // A relative path would mean whatever folder a scheduled run happens to start in.
    if (!path.startsWith(QLatin1Char('/')))
        refuse(EINVAL, path, QStringLiteral("its path is not absolute"));
    Descriptor file{::open(nativePath(path).constData(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.fd < 0) {
        const int error = errno;
        if (error == ELOOP)
            refuse(error, path, QStringLiteral("it is a symbolic link"));
        refuse(error, path, QString::fromLocal8Bit(std::strerror(error)));
    }
    struct stat st;
    if (::fstat(file.fd, &st) != 0)
        refuse(errno, path, QString::fromLocal8Bit(std::strerror(errno)));
    if (S_ISDIR(st.st_mode))
        refuse(EISDIR, path, QStringLiteral("it is a folder"));
    if (!S_ISREG(st.st_mode))
        refuse(EINVAL, path, QStringLiteral("it is not a regular file"));
    if (st.st_uid != ::geteuid())
        refuse(EPERM, path,
               QStringLiteral("it belongs to the account %1, not to %2, which runs this program")
                   .arg(accountName(st.st_uid), accountName(::geteuid())));
    if (st.st_mode & (S_IRWXG | S_IRWXO))
        refuse(EPERM, path,
               QStringLiteral("other accounts than its owner have permissions on it (mode %1); "
                              "it must be 0600 or 0400")
                   .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')));
    if (st.st_size == 0)
        refuse(ENODATA, path, QStringLiteral("it is empty"));

    // One byte more than the longest passphrase tells a line that is too long.
    char buffer[passphraseLimit + 2];
    const Wiped wiped{buffer, sizeof buffer};
    const Transferred read = transferWhole(sizeof buffer, [&](size_t done) {
        return ::read(file.fd, buffer + done, sizeof buffer - done);
    });
    if (read.error)
        refuse(read.error, path, QString::fromLocal8Bit(std::strerror(read.error)));
    const char *end = static_cast<const char *>(std::memchr(buffer, '\n', read.bytes));
    size_t length = end ? size_t(end - buffer) : read.bytes;
    if (length > 0 && buffer[length - 1] == '\r')
        --length;
    if (length > passphraseLimit)
        refuse(EINVAL, path,
               QStringLiteral("its first line is longer than %1 bytes, the most 7-Zip takes (it "
                              "would not open the archives)")
                   .arg(passphraseLimit));
    if (length == 0)
        refuse(ENODATA, path, QStringLiteral("its first line is empty"));
    return std::make_shared<const Passphrase>(buffer, length);
}
