#pragma once

#include "platform/posix/SmbContext.h"

// A file open on a share, closed when it goes. Used by the thread that owns the context; every
// failure is thrown as SmbFailure, in the server's words.
class SmbShareFile {
public:
    SmbShareFile(SmbContext &smb, const SmbPath &place, int flags);
    ~SmbShareFile();
    SmbShareFile(const SmbShareFile &) = delete;
    SmbShareFile &operator=(const SmbShareFile &) = delete;

    // Up to `size` bytes from where the last read ended; 0 at the end of the file.
    qint64 read(char *data, qsizetype size);
    // Fills `data` as far as the file goes; fewer bytes only at its end.
    qint64 readFull(char *data, qsizetype size);
    void write(const char *data, qsizetype size);
    // Closes, and says so when the server reports the close failed (data not stored).
    void close();
    // Closes and removes what was written; failures pass unsaid, the caller has its own.
    void discard();

private:
    SmbContext &m_smb;
    SmbPath m_place;
    QByteArray m_url;
    SMBCCTX *m_context = nullptr;
    SMBCFILE *m_file = nullptr;
};
