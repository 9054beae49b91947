#pragma once

// The built program in a program folder of the test's own, run as a process.
#include "support/TestEnvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

class ProcessTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        QDir().mkpath(path(QStringLiteral("program")));
        ASSERT_TRUE(QFile::copy(builtFile(QStringLiteral("Sorvik")), program()));
    }

    QString program() const { return path(QStringLiteral("program/Sorvik")); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }

    struct Outcome {
        int status = -1;
        QByteArray errors;
    };

    // Runs the program through /bin/sh with `prefix` before it (a ulimit, a mount), in a mount
    // namespace of its own when asked, so that nothing it mounts outlives it.
    Outcome runThrough(const QString &prefix, const QStringList &arguments,
                       bool ownMounts = false) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        QStringList shell{QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                          prefix + QStringLiteral(" exec \"$0\" \"$@\""), program()};
        if (ownMounts)
            shell = QStringList{QStringLiteral("-m"), QStringLiteral("--propagation"),
                                QStringLiteral("private")} +
                    shell;
        const QString command = ownMounts ? QStringLiteral("/usr/bin/unshare") : shell.takeFirst();
        process.start(command, shell + arguments);
        EXPECT_TRUE(process.waitForFinished(300000)) << "the program did not end";
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardError()};
    }

    // The run log's text so far (its lines may still be growing).
    QString runLogText() const
    {
        const QStringList logs = QDir(path(QStringLiteral("program/logs"))).entryList(QDir::Files);
        if (logs.isEmpty())
            return QString();
        const QByteArray bytes = readFile(QStringLiteral("program/logs/") + logs.first());
        return QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()),
                                  bytes.size() / 2);
    }

    Outcome run(const QStringList &arguments) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program(), arguments);
        EXPECT_TRUE(process.waitForFinished(300000)) << "the program did not end";
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardError()};
    }

    QStringList programFolder() const
    {
        return QDir(path(QStringLiteral("program")))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    // The one run log the program left.
    QStringList runLog() const
    {
        const QStringList logs =
            QDir(path(QStringLiteral("program/logs"))).entryList(QDir::Files, QDir::Name);
        EXPECT_EQ(logs.size(), 1) << logs.join(' ').toStdString();
        if (logs.isEmpty())
            return {};
        EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^Sorvik_Log__\d{6}_\d\d_\d\d_\d\d\.TXT$)"))
                        .match(logs.first())
                        .hasMatch())
            << logs.first().toStdString();
        return runLogLines(readFile(QStringLiteral("program/logs/") + logs.first()));
    }

    bool probeLeftAnywhere() const
    {
        QDirIterator it(path(QString()), {QStringLiteral("temp.test.txt")}, QDir::Files,
                        QDirIterator::Subdirectories);
        return it.hasNext();
    }
};
