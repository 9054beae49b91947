#pragma once

#include "common/Failure.h"

#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class Registry;

// The served product's status object.
class OrvelStatusObject {
public:
    virtual ~OrvelStatusObject() = default;
    // The product's status (32 while it runs); nothing when the read fails.
    virtual std::optional<qint32> status() = 0;
};

// How long the diagnostic line formatter may take for one raw file: a base, and a share for every
// MiB, so that a large file has the time it needs and a formatter that hangs is still stopped.
struct DiagFormatTimeLimit {
    std::chrono::milliseconds base = std::chrono::seconds(30);
    std::chrono::milliseconds perMiB = std::chrono::seconds(2);

    std::chrono::milliseconds forBytes(qint64 bytes) const
    {
        return base + std::chrono::milliseconds(perMiB.count() *
                                                (std::max<qint64>(bytes, 0) >> 10) / 1024);
    }
};

// The formatter itself failed: it crashed, did not answer in time or could not be started. No
// further line of the file can be formatted; the next file gets a fresh formatter.
class FormatterFailure : public Failure {
public:
    FormatterFailure(int number, QString description, qsizetype line = 0, bool timedOut = false)
        : Failure(number, std::move(description))
        , m_line(line)
        , m_timedOut(timedOut)
    {
    }
    // The line of the batch it failed on.
    qsizetype line() const { return m_line; }
    // It did not answer within the file's time limit: a run gives up a formatter that keeps
    // doing that rather than wait out the limit on every file.
    bool timedOut() const { return m_timedOut; }

private:
    qsizetype m_line;
    bool m_timedOut;
};

// The formatter's answer for one line: its text, or what is wrong with the line.
struct FormattedLine {
    QString text;
    std::optional<Failure> rejection;
};

// The served product's diagnostic line formatter: one raw record in, its readable text out. Lines
// and texts are single-byte, one character per byte.
class DiagLineFormatter {
public:
    virtual ~DiagLineFormatter() = default;
    // Starts what the formatter runs in now, on the calling thread, rather than at its first file:
    // a process is best started before the threads that will use it exist. Throws
    // FormatterFailure when it cannot be; the first file then tries again.
    virtual void start() {}
    // A raw file begins: its lines may take `limit` in all. A formatter that failed is started
    // afresh; throws FormatterFailure when it cannot be.
    virtual void beginFile(std::chrono::milliseconds limit) = 0;
    // Formats a batch of lines at once, an answer for each; throws FormatterFailure when the
    // component failed.
    virtual std::vector<FormattedLine> FormatLines(const QStringList &lines) = 0;
    // Where the lines of one raw file end in a batch of several files, and the time they may take.
    struct FileLines {
        qsizetype end = 0;
        std::chrono::milliseconds limit{0};
    };
    // Formats the lines of several raw files at once, an answer for each line; each file has its
    // own time limit, as if begun on its own. Throws FormatterFailure when the component failed,
    // its line() the line of the batch it failed on: the files before that line's file did
    // nothing wrong and may be given again.
    virtual std::vector<FormattedLine> FormatFiles(const QStringList &lines,
                                                   const std::vector<FileLines> &files) = 0;
    // Makes the call in progress on another thread, and every later one, throw FormatterFailure
    // at once; safe to call from any thread while the formatter lives.
    virtual void interrupt() {}

    // One line; throws Failure with the component's description of what is wrong with it.
    QString FormatLine(const QString &line)
    {
        FormattedLine answer = std::move(FormatLines(QStringList{line}).front());
        if (answer.rejection)
            throw *answer.rejection;
        return answer.text;
    }
};

// Creates the served product's components by class identifier. A class that is not registered,
// or whose library or entry points cannot be loaded, cannot be created: the result is null.
class Components {
public:
    virtual ~Components() = default;
    virtual std::unique_ptr<OrvelStatusObject> createStatusObject() = 0;
    virtual std::unique_ptr<DiagLineFormatter> createDiagLineFormatter() = 0;
};

// The platform's component loader, finding the classes through `registry`, which must outlive it.
std::unique_ptr<Components> makeComponents(const Registry &registry);
