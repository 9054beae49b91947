#pragma once

#include <QString>

#include <functional>
#include <memory>

class QLocalServer;

// Holds, for the life of the process, a write lock on one fixed file of the program, so that a
// second start of the same program (same canonical executable path) can tell, whatever account
// or session it runs in. The system releases the lock when the process dies, however it dies.
//
// The file is ".<executable>.lock" in the executable's canonical folder: only the program's owner
// can make files there, and there is one per program, not one per run. When that file cannot be
// used (a read-only folder, a link, a FIFO, a file of another account), the lock is kept in this
// account's private runtime folder instead, or, without one, the program runs unguarded.
class SingleInstance {
public:
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    struct Claim {
        // Only a lock that another open file holds: a running instance.
        bool otherInstance = false;
        // What the administrator should know (the refusal, or where the lock went instead);
        // empty when all is as it should be.
        QString note;
    };
    Claim claim(const QString &executablePath);

    // The instance that holds the lock hears of later starts of this account: `call` runs on this
    // thread's event loop for each. Nothing when this account has no private runtime folder.
    void answerLaterStarts(std::function<void()> call);
    // A later start tells the running instance it was made, without waiting more than about a
    // second for it; false when it could not be told.
    bool tellRunningInstance() const;

private:
    // Where the running instance listens: in this account's private runtime folder, where no
    // other account can put a socket of its own; empty without one.
    QString callPath() const;

    int m_fd = -1;
    QString m_executable;
    std::unique_ptr<QLocalServer> m_server;
};
