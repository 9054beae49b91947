#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <sys/types.h>

class SmbBeat;

// The proof of a copy to a share, read while the copy is written: a helper process reads back,
// through a connection of its own, every stretch of the file once the server has answered the
// writes of it, and reports the CRC-32 of the whole file to its end once the copy is closed.
// A second connection in this process would not run beside the first (see SmbContext::lock());
// in its own process it does, so the proof costs about as much time as the copy alone.
//
// What the helper read is what the server serves to another client after it took the bytes; a
// helper that cannot start or read proves nothing, and the caller reads the copy back itself.
//
// The helper may be started well ahead of its copy: it loads the SMB library, which takes as
// long as a small copy, and waits to be told its file.
class SmbReadBack {
public:
    // Starts the helper.
    SmbReadBack();
    // A helper still running is stopped.
    ~SmbReadBack();
    SmbReadBack(const SmbReadBack &) = delete;
    SmbReadBack &operator=(const SmbReadBack &) = delete;

    // The file at `path`, which the caller has just created, is the one to read back; false when
    // the helper is gone. Told once.
    bool open(const QString &path);
    // The copy's writes up to `bytes` were answered. Never waits.
    void written(qint64 bytes);
    // The copy is closed with `bytes`: waits for the helper's word, telling `beat` as the helper
    // reads on, and gives up when `beat` asks to stop. The CRC-32 of the file as read back when
    // the helper read exactly `bytes`, else nothing.
    std::optional<quint32> finish(qint64 bytes, SmbBeat &beat);

private:
    bool say(const QByteArray &words, bool wait);
    void end();

    pid_t m_pid = -1;
    int m_socket = -1;
};
