#pragma once

// The built program in a program folder of the test's own, run as a process.
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <functional>

// A sanitizer's runtime must be the first library a program loads: nothing may be preloaded
// before it, so what goes through the fault shim runs in the ordinary build only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

class ProcessTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        QDir().mkpath(path(u"program"_s));
        ASSERT_TRUE(QFile::copy(builtFile(u"Sorvik"_s), program()));
        ASSERT_TRUE(QFile::copy(builtFile(helper), path(u"program/"_s + helper)));
    }

    // Found beside the executable, as in an installed copy.
    static constexpr QLatin1StringView helper{"sorvik-diag-formatter"};

    QString program() const { return path(u"program/Sorvik"_s); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        env.remove(u"SORVIK_FORMATTER_HELPER"_s);
        env.remove(u"SORVIK_SHARE_READER"_s);
        return env;
    }

    struct Outcome {
        int status = -1;
        QByteArray errors;
        QByteArray output;
    };

    // Runs the program through /bin/sh with `prefix` before it (variables, a ulimit, a mount), in
    // a mount namespace of its own when it mounts, so that nothing it mounts outlives it; `during`
    // acts on the process while it runs. Waits for its end.
    Outcome runThrough(const QString &prefix, const QStringList &arguments,
                       const std::function<void(QProcess &)> &during = {},
                       int limitMs = 300000) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        QStringList shell{u"/bin/sh"_s, u"-c"_s, prefix + u" exec \"$0\" \"$@\""_s, program()};
        if (prefix.contains(u"mount "_s))
            shell = QStringList{u"/usr/bin/unshare"_s, u"-m"_s, u"--propagation"_s, u"private"_s} +
                    shell;
        ownedByTest(process);
        const QString command = shell.takeFirst();
        process.start(command, shell + arguments);
        if (during && process.waitForStarted(30000))
            during(process);
        EXPECT_TRUE(process.waitForFinished(limitMs)) << "the program did not end";
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardError(), process.readAllStandardOutput()};
    }
    Outcome run(const QStringList &arguments) const { return runThrough(QString(), arguments); }

    // Waits until the run log shows `line` (or the program ended).
    // Its state follows the process only as its events are taken: the wait takes them.
    void waitForLine(QProcess &process, const QString &line) const
    {
        while (!runLogText().contains(line) && process.state() != QProcess::NotRunning &&
               !process.waitForFinished(2)) {
        }
        EXPECT_TRUE(runLogText().contains(line)) << "never reached: " << line.toStdString();
    }

    // The run log's text so far (its lines may still be growing).
    QString runLogText() const
    {
        const QStringList logs = QDir(path(u"program/logs"_s)).entryList(QDir::Files);
        if (logs.isEmpty())
            return QString();
        const QByteArray bytes = readFile(u"program/logs/"_s + logs.first());
        return QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()),
                                  bytes.size() / 2);
    }

    // The one run log the program left.
    QStringList runLog() const
    {
        const QStringList logs = QDir(path(u"program/logs"_s)).entryList(QDir::Files, QDir::Name);
        EXPECT_EQ(logs.size(), 1) << logs.join(' ').toStdString();
        if (logs.isEmpty())
            return {};
        EXPECT_TRUE(QRegularExpression(uR"(^Sorvik_Log__\d{6}_\d\d_\d\d_\d\d\.TXT$)"_s)
                        .match(logs.first())
                        .hasMatch())
            << logs.first().toStdString();
        return runLogLines(readFile(u"program/logs/"_s + logs.first()));
    }
};
