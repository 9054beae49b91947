// sorvik-share-reader: reads back, for the program, a file it is copying to a share, through a
// connection of its own, as far as the program says the copy's writes were answered; once the
// copy is closed, on to the file's end. Reports the CRC-32 of what it read. It loads the SMB
// library before it is told its file, so that the program may start it ahead of the copy.
//   sorvik-share-reader PARENT_PID    (the socket: see SmbReadBackProtocol.h)
#include "platform/FileSystem.h"
#include "platform/WholeTransfer.h"
#include "platform/posix/SmbReadBackProtocol.h"
#include "platform/posix/SmbShareFile.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <libdeflate.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int fd = SmbReadBackProtocol::socketFd;
// As large as the program's blocks, and no larger: a read of more than the server takes at once
// (several requests on the wire) fails in libsmbclient 4.17 with the server's "end of file".
constexpr qsizetype blockSize = 8 << 20;

void say(const QByteArray &line)
{
    transferWhole(size_t(line.size()), [&](size_t done) {
        return ::send(fd, line.constData() + done, size_t(line.size()) - done, MSG_NOSIGNAL);
    });
}

// What the program said, up to now; false once it is gone.
bool listen(QByteArray &heard, QByteArray &file, qint64 &known, bool &complete, bool wait)
{
    pollfd look{fd, POLLIN, 0};
    if (::poll(&look, 1, wait ? -1 : 0) <= 0)
        return true;
    char buffer[256];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
        return n < 0 && errno == EINTR;
    heard.append(buffer, n);
    qsizetype newline;
    while ((newline = heard.indexOf('\n')) >= 0) {
        const QList<QByteArray> words = heard.left(newline).split(' ');
        heard.remove(0, newline + 1);
        if (words.size() != 2)
            continue;
        if (words[0] == "O") {
            file = QByteArray::fromHex(words[1]);
            continue;
        }
        known = std::max(known, words[1].toLongLong());
        complete = complete || words[0] == "C";
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    // Ends with the program's thread that started it (its share thread), whatever becomes of it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != ::atol(argv[1]))
        return 1;
    // Its failure is the context's to tell, once there is a file to name.
    SmbLibrary::open();
    QByteArray heard;
    QByteArray file;
    qint64 known = 0;
    bool complete = false;
    while (file.isEmpty())
        if (!listen(heard, file, known, complete, true))
            return 1;
    try {
        SmbContext smb;
        const SmbPath place = SmbPath::parse(decodeNativePath(file));
        SmbShareFile in(smb, place, O_RDONLY);
        QByteArray block(blockSize, Qt::Uninitialized);
        qint64 done = 0;
        quint32 crc = 0;
        for (;;) {
            if (!listen(heard, file, known, complete, done >= known && !complete))
                return 1;
            if (done < known) {
                const qsizetype want = qsizetype(std::min<qint64>(blockSize, known - done));
                const qint64 got = in.readFull(block.data(), want);
                if (got < want)
                    throw SmbFailure{EIO, QString(),
                                     place.where() + QStringLiteral(": the file holds fewer "
                                                                    "bytes than were written")};
                crc = quint32(libdeflate_crc32(crc, block.constData(), size_t(got)));
                done += got;
                say("R " + QByteArray::number(done) + '\n');
            } else if (complete) {
                // On to the end: bytes past the copy's would be no copy of it.
                while (const qint64 got = in.read(block.data(), block.size())) {
                    crc = quint32(libdeflate_crc32(crc, block.constData(), size_t(got)));
                    done += got;
                }
                in.close();
                say("D " + QByteArray::number(done) + ' ' + QByteArray::number(crc, 16) + '\n');
                return 0;
            }
        }
    } catch (const SmbFailure &failure) {
        say("E " + QByteArray::number(failure.error) + ' ' + failure.reason.toUtf8() + '\n');
    } catch (const Failure &failure) {
        say("E " + QByteArray::number(failure.number()) + ' ' + failure.description().toUtf8() +
            '\n');
    }
    return 1;
}
