#pragma once

#include <QString>

#include <exception>
#include <functional>

// A failure as the program reports it: a number and a readable description. Every error the
// program raises itself derives from Failure, so one trap can report any of them alike.
class Failure : public std::exception {
public:
    Failure(int number, QString description);

    int number() const { return m_number; }
    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    int m_number;
    QString m_description;
    QByteArray m_what;
};

// The argument error a routine raises when it is handed something it cannot work with.
Failure invalidArgument(const QString &what);

// What a file that shrank while it was read is said to be, or one cut short and written again past
// its old end (see fileHoleBelow): whatever reads it says it alike.
QString cutShortWhileRead(quint64 read, quint64 size);
QString cutShortAndWrittenAgain();

// Runs one step; any failure it throws is turned into a Failure and handed to `report`, and the
// caller carries on with its next step. Returns true when the step finished without failure.
// Anything that is not a std::exception (such as a test's stand-in for ending the process) passes
// through untouched.
bool trap(const std::function<void()> &step, const std::function<void(const Failure &)> &report);

// The same, for steps whose failure is passed over without a word.
bool trapSilently(const std::function<void()> &step);
