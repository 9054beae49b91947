#include "platform/PassphraseFile.h"

#include "common/Failure.h"
#include "platform/PrivateFile.h"
#include "platform/WholeTransfer.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// Closes the descriptor on every way out.
struct Descriptor {
    int fd;
    ~Descriptor() { ::close(fd); }
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
    const QString what = QStringLiteral("passphrase file");
    const auto refuse = [&](int number, const QString &why) {
        refusePrivateFile(number, what, path, why);
    };
    qint64 size = 0;
    const Descriptor file{openPrivateFile(path, what, size)};
    if (size == 0)
        refuse(ENODATA, QStringLiteral("it is empty"));

    // One byte more than the longest passphrase tells a line that is too long.
    char buffer[passphraseLimit + 2];
    const Wiped wiped{buffer, sizeof buffer};
    const Transferred read = transferWhole(sizeof buffer, [&](size_t done) {
        return ::read(file.fd, buffer + done, sizeof buffer - done);
    });
    if (read.error)
        refuse(read.error, QString::fromLocal8Bit(std::strerror(read.error)));
    const char *end = static_cast<const char *>(std::memchr(buffer, '\n', read.bytes));
    size_t length = end ? size_t(end - buffer) : read.bytes;
    if (length > 0 && buffer[length - 1] == '\r')
        --length;
    if (length > passphraseLimit)
        refuse(EINVAL,
               QStringLiteral("its first line is longer than %1 bytes, the most 7-Zip takes (it "
                              "would not open the archives)")
                   .arg(passphraseLimit));
    if (length == 0)
        refuse(ENODATA, QStringLiteral("its first line is empty"));
    return std::make_shared<const Passphrase>(buffer, length);
}
