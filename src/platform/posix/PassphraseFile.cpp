#include "platform/PassphraseFile.h"

#include "common/Failure.h"
#include "platform/PrivateFile.h"
#include "platform/WholeTransfer.h"

#include <openssl/crypto.h>

#include <QByteArrayView>

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

    // A byte-order mark, the longest passphrase, a CR and one byte more, which tells a line that
    // is too long.
    char buffer[3 + passphraseLimit + 2];
    const Wiped wiped{buffer, sizeof buffer};
    const Transferred read = transferWhole(sizeof buffer, [&](size_t done) {
        return ::read(file.fd, buffer + done, sizeof buffer - done);
    });
    if (read.error)
        refuse(read.error, QString::fromLocal8Bit(std::strerror(read.error)));
    // Nobody types a byte-order mark; Notepad puts one before UTF-8 text.
    const size_t mark = read.bytes >= 3 && std::memcmp(buffer, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    const char *text = buffer + mark;
    const char *end = static_cast<const char *>(std::memchr(text, '\n', read.bytes - mark));
    size_t length = end ? size_t(end - text) : read.bytes - mark;
    if (length > 0 && text[length - 1] == '\r')
        --length;
    if (length > passphraseLimit)
        refuse(EINVAL,
               QStringLiteral("its first line is longer than %1 bytes, the most 7-Zip takes (it "
                              "would not open the archives)")
                   .arg(passphraseLimit));
    if (length == 0)
        refuse(ENODATA, QStringLiteral("its first line is empty"));
    // Only what could be typed to open the archives: UTF-8 text (as 7-Zip is given it), no
    // control character but a tab.
    const QByteArrayView line(text, qsizetype(length));
    // UTF-16 without a byte-order mark is valid UTF-8 byte by byte; its NULs give it away.
    if (!line.isValidUtf8() || line.contains('\0'))
        refuse(EILSEQ, QStringLiteral("its first line is not UTF-8 text (was it saved as UTF-16, "
                                      "or in another encoding?)"));
    // C0, DEL and C1 (U+0080 to U+009F, C2 80 to C2 9F in UTF-8); and what shows as nothing:
    // a second byte-order mark, a line or paragraph separator.
    const auto c1 = [&](qsizetype at) {
        return line[at] == '\xC2' && at + 1 < line.size() && uchar(line[at + 1]) < 0xA0;
    };
    bool control = line.contains("\xEF\xBB\xBF") || line.contains("\xE2\x80\xA8") ||
                   line.contains("\xE2\x80\xA9");
    for (qsizetype at = 0; at < line.size() && !control; ++at)
        control = (uchar(line[at]) < 0x20 && line[at] != '\t') || line[at] == 0x7f || c1(at);
    if (control)
        refuse(EILSEQ,
               QStringLiteral("its first line holds a control or invisible character, which "
                              "nobody could type to open the archives"));
    return std::make_shared<const Passphrase>(text, length);
}
