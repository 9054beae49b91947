#pragma once

#include <QString>

#include <functional>
#include <memory>

class QLocalServer;

// Holds, for the life of the process, a write lock on one fixed file of the program folder, so
// that a second start from the same folder (under any name: its working folders are shared) can
// tell, whatever account or session it runs in. The system releases the lock when the process
// dies, however it dies.
//
// The file is ".Sorvik.lock" in the executable's canonical folder: only the program's owner
// can make files there, and there is one per program folder, not one per run. A lock file of this
// account that others could open (a group or other mode, a second name) is replaced by a new
// private one, unless it is write-locked: then the start ends, as beside a running instance. When
// the place cannot be used (a read-only folder, a link, a FIFO, a folder, another account's file),
// the lock is kept in this account's private runtime folder instead, or, without one, the program
// runs unguarded.
class SingleInstance {
public:
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    struct Claim {
        // A lock that another open file holds for writing: a running instance (or, on a file
        // others could open, perhaps another holder).
        bool otherInstance = false;
        // What the administrator should know (the refusal, or where the lock went instead);
        // empty when all is as it should be.
        QString note;
    };
    Claim claim(const QString &executablePath);

    // The instance that holds the lock hears of later starts of this account: `call` runs on this
    // thread's event loop for each.
    void answerLaterStarts(std::function<void()> call);
    // A later start tells the running instance it was made, without waiting more than about a
    // second for it; false when it could not be told, or when what answers at the place is not a
    // socket this account made for itself alone.
    bool tellRunningInstance() const;
    // Lets go of the lock and removes the socket: for the end of the process, which runs no
    // destructors.
    void release();

private:
    // Where the running instance listens: ".Sorvik.call" beside the lock it holds (in the
    // program folder, or in the private runtime folder), which a start through su or sudo finds
    // as well; empty before a lock was found.
    QString callPath() const;

    int m_fd = -1;
    // The lock this instance holds, or that the running instance was found holding.
    QString m_lockPath;
    std::unique_ptr<QLocalServer> m_server;
};
