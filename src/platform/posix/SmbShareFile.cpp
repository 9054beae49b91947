#include "platform/posix/SmbShareFile.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <thread>

SmbShareFile::SmbShareFile(SmbContext &smb, const SmbPath &place, int flags)
    : m_smb(smb)
    , m_place(place)
    , m_url(place.url())
{
    m_context = smb.ready(QString::fromUtf8(m_url));
    // No other client may write a file while this program writes it: what is read back while it
    // is written would not be read again. Readers share with writers, as a live log needs.
    const bool writes = (flags & O_ACCMODE) != O_RDONLY;
    if (writes)
        smbc_setOptionOpenShareMode(m_context, SMBC_SHAREMODE_DENY_WRITE);
    m_file = smbc_getFunctionOpen(m_context)(m_context, m_url.constData(), flags | O_CLOEXEC, 0600);
    const int error = errno;
    if (writes)
        smbc_setOptionOpenShareMode(m_context, SMBC_SHAREMODE_DENY_NONE);
    errno = error;
    if (!m_file && (flags & O_CREAT))
        smb.failToMake(QStringLiteral("Cannot create file"), errno, place);
    if (!m_file)
        smb.fail(QStringLiteral("Cannot open file"), errno, place);
}

SmbShareFile::~SmbShareFile()
{
    if (m_file)
        smbc_getFunctionClose(m_context)(m_context, m_file);
}

qsizetype SmbShareFile::nextCallSize(qsizetype call, std::chrono::nanoseconds took,
                                     std::chrono::nanoseconds limit)
{
    constexpr qsizetype least = 64 << 10, most = 8 << 20;
    if (took > limit / 4 && call > least)
        return call / 2;
    if (took < limit / 16 && call < most)
        return call * 2;
    return call;
}

void SmbShareFile::paced(std::chrono::steady_clock::time_point began)
{
    m_call = nextCallSize(m_call, std::chrono::steady_clock::now() - began,
                          std::chrono::seconds(SmbContext::timeoutSeconds()));
}

qint64 SmbShareFile::read(char *data, qsizetype size)
{
    const auto began = std::chrono::steady_clock::now();
    const ssize_t n =
        smbc_getFunctionRead(m_context)(m_context, m_file, data, size_t(callSize(size)));
    if (n < 0)
        m_smb.fail(QStringLiteral("Cannot read file"), errno, m_place);
    paced(began);
    return n;
}

qint64 SmbShareFile::readFull(char *data, qsizetype size)
{
    qsizetype filled = 0;
    while (filled < size) {
        const qint64 n = read(data + filled, size - filled);
        if (n == 0)
            break;
        filled += n;
    }
    return filled;
}

void SmbShareFile::write(const char *data, qsizetype size)
{
    qsizetype done = 0;
    while (done < size) {
        const auto began = std::chrono::steady_clock::now();
        const ssize_t n = smbc_getFunctionWrite(m_context)(m_context, m_file, data + done,
                                                           size_t(callSize(size - done)));
        if (n <= 0)
            m_smb.fail(QStringLiteral("Cannot write file"), n < 0 ? errno : EIO, m_place);
        done += n;
        paced(began);
    }
}

void SmbShareFile::close()
{
    SMBCFILE *file = std::exchange(m_file, nullptr);
    if (smbc_getFunctionClose(m_context)(m_context, file) != 0)
        m_smb.fail(QStringLiteral("Cannot write file"), errno, m_place);
}

void SmbShareFile::discard()
{
    if (SMBCFILE *file = std::exchange(m_file, nullptr))
        smbc_getFunctionClose(m_context)(m_context, file);
    // The read-back helper, killed just before, leaves its handle for the server to close in its
    // own time; until then the server refuses the removal as "in use". A bounded wait.
    for (int tries = 0; tries < 50; ++tries) {
        if (smbc_getFunctionUnlink(m_context)(m_context, m_url.constData()) == 0 || errno != EBUSY)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
}
