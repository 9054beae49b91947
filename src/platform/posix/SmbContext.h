#pragma once

#include "platform/posix/SmbCredentials.h"
#include "platform/posix/SmbPath.h"

#include <QString>

#include <map>
#include <mutex>

#include <libsmbclient.h>

// One libsmbclient context for the process: its connections, the account it logs on as, its time
// limit. Every use holds lock(). Nothing it does writes to stdout,
// stderr or the system log (libsmbclient's own messages come to us and are kept only for the
// reason of a failed logon).
class SmbContext {
public:
    SmbContext();
    ~SmbContext();
    SmbContext(const SmbContext &) = delete;
    SmbContext &operator=(const SmbContext &) = delete;

    // One for the whole process, not one per context: the library keeps per-call memory of its
    // own that two threads must not use at once, whatever context each holds.
    static std::unique_lock<std::mutex> lock();

    // The context, ready to connect as the credentials file (read afresh) says; throws
    // FileSystemError naming `path` when that file is refused. Under lock().
    SMBCCTX *ready(const QString &path);

    // The failure of an operation on `place` in words, naming the server and the share: the
    // server's own reason where libsmbclient passed it on. May ask the server once more (is the
    // share there at all?). Under lock().
    QString reason(int error, const SmbPath &place);

    // Seconds that connecting and every operation may take: SORVIK_SMB_TIMEOUT, else 30.
    static int timeoutSeconds();

    // Files this process has open for writing: one that is deleted meanwhile (a run stopped while
    // it copies) is closed first, since the server refuses to delete an open file. Under lock().
    void opened(SMBCFILE *file, const QByteArray &url) { m_writing[file] = url; }
    bool stillOpen(SMBCFILE *file) const { return m_writing.count(file) != 0; }
    void closed(SMBCFILE *file) { m_writing.erase(file); }
    void closeWriting(const QByteArray &url);

private:
    static void supplyLogon(SMBCCTX *context, const char *server, const char *share,
                            char *workgroup, int workgroupLength, char *user, int userLength,
                            char *password, int passwordLength);
    static void keepMessage(void *self, int level, const char *message);

    SMBCCTX *m_context = nullptr;
    SmbCredentials m_credentials;
    bool m_applied = false;
    QString m_logonFailure;
    std::map<SMBCFILE *, QByteArray> m_writing;
};
