#pragma once

#include "platform/posix/SmbContext.h"

#include <algorithm>
#include <chrono>

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

    // The size of the call after one of `call` bytes that took `took` of the time limit `limit`:
    // halved past a quarter of it, doubled under a sixteenth, from 64 KiB to 8 MiB.
    static qsizetype nextCallSize(qsizetype call, std::chrono::nanoseconds took,
                                  std::chrono::nanoseconds limit);

private:
    // How much one call asks for: the whole block where the link is fast (the library keeps many
    // requests of it in flight), less where it is slow. A call is heard of only once it returns,
    // so one that outlasts the time limit would be taken for a silent server; the first is small,
    // since nothing is known of the link yet, and a fast one doubles it at every call.
    qsizetype callSize(qsizetype wanted) const { return std::min(wanted, m_call); }
    void paced(std::chrono::steady_clock::time_point began);

    SmbContext &m_smb;
    SmbPath m_place;
    QByteArray m_url;
    SMBCCTX *m_context = nullptr;
    SMBCFILE *m_file = nullptr;
    qsizetype m_call = 64 << 10;
};
