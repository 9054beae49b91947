#pragma once

#include "platform/posix/SmbCredentials.h"
#include "platform/posix/SmbLibrary.h"
#include "platform/posix/SmbPath.h"

#include <QString>

#include <mutex>

// What went wrong on a share, as the thread that talked to the server tells it: the errno value,
// the action (empty: the caller names its own) and the reason in words, naming the server and the
// share.
struct SmbFailure {
    int error = 0;
    QString action;
    QString reason;
};

// A libsmbclient context: its connections, the account it logs on as, its time limit. Made, used
// and freed by one thread only (a file-system layer's SmbWorker; the read-back helper's main
// thread). Nothing it does writes to stdout, stderr or the system log (libsmbclient's own messages
// come to us and are kept only for the reason of a failed logon).
class SmbContext {
public:
    SmbContext();
    ~SmbContext();
    SmbContext(const SmbContext &) = delete;
    SmbContext &operator=(const SmbContext &) = delete;

    // Held by whichever thread is inside the library, whatever context it uses: the library as
    // Debian ships it keeps the memory of every call in one place for the whole process (its
    // thread support is declared in the header but not exported), so no two threads may be inside
    // it at once.
    static std::unique_lock<std::mutex> lock();

    // The context, ready to connect as the credentials file (read afresh) says; throws
    // FileSystemError naming `path` when that file is refused.
    SMBCCTX *ready(const QString &path);
    SMBCCTX *ready(const SmbPath &place) { return ready(QString::fromUtf8(place.url())); }

    // The failure of an operation on `place` in words, naming the server and the share: the
    // server's own reason where libsmbclient passed it on. May ask the server once more (is the
    // share there at all?).
    QString reason(int error, const SmbPath &place);
    // The same, thrown.
    [[noreturn]] void fail(const QString &action, int error, const SmbPath &place);
    // The failure to make a file at `place`: the server answers "no such file" also where the
    // folder is there and something at the name on its side (a link that leads nowhere) stops it.
    [[noreturn]] void failToMake(const QString &action, int error, const SmbPath &place);

    // Seconds the server may stay silent: SORVIK_SMB_TIMEOUT (1 to 86400), else 30.
    static int timeoutSeconds();

private:
    static void supplyLogon(SMBCCTX *context, const char *server, const char *share,
                            char *workgroup, int workgroupLength, char *user, int userLength,
                            char *password, int passwordLength);
    static void keepMessage(void *self, int level, const char *message);

    SMBCCTX *m_context = nullptr;
    SmbCredentials m_credentials;
    bool m_applied = false;
};
