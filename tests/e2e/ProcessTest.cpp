// The built program, run as a process the way a scheduler or an administrator starts it.
#include "support/TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

namespace {

class ProcessTest : public TempEnvironment {
protected:
    void SetUp() override {
        TempEnvironment::SetUp();
        QDir().mkpath(path(QStringLiteral("program")));
        ASSERT_TRUE(QFile::copy(builtFile(QStringLiteral("Sorvik")), program()));
    }

    QString program() const { return path(QStringLiteral("program/Sorvik")); }

    void simulate(const QStringList &extra = {}) const {
        QProcess sim;
        sim.start(builtFile(QStringLiteral("orvel-sim")),
                  QStringList{QStringLiteral("--root"), path(QStringLiteral("orvel"))} + extra);
        ASSERT_TRUE(sim.waitForFinished(30000));
        ASSERT_EQ(sim.exitCode(), 0) << sim.readAllStandardError().toStdString();
        qputenv("SORVIK_REGISTRY", QFile::encodeName(path(QStringLiteral("orvel/registry.reg"))));
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }

    struct Outcome {
        int status = -1;
        QByteArray errors;
    };

    Outcome run(const QStringList &arguments) const {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program(), arguments);
        EXPECT_TRUE(process.waitForFinished(60000)) << "the program did not end";
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardError()};
    }

    QStringList programFolder() const {
        return QDir(path(QStringLiteral("program")))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }
};

TEST_F(ProcessTest, SilentStartWithoutServedProductEndsQuietly) {
    const Outcome outcome = run({QStringLiteral("/Silent")});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(programFolder(), QStringList{QStringLiteral("Sorvik")})
        << "no run log, no archive folders";
}

TEST_F(ProcessTest, ServedProductVersionDecidesTheStart) {
    simulate({QStringLiteral("--version"), QStringLiteral("2.9")});
    Outcome outcome = run({QStringLiteral("/Silent")});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_TRUE(outcome.errors.contains("This utility only works with Orvel 4.0(1) and later"))
        << outcome.errors.toStdString();

    for (const char *version : {"3.0", "4.0"}) {
        simulate({QStringLiteral("--version"), QLatin1String(version)});
        outcome = run({QStringLiteral("/silent")});
        EXPECT_EQ(outcome.status, 0) << version << outcome.errors.toStdString();
    }
}

TEST_F(ProcessTest, SecondInstanceEndsAtOnceWithStatusThree) {
    simulate();
    writeFile(QStringLiteral("config/Sorvik/Sorvik.ini"),
              "[frmMain]\nArchiveFolderPath=/srv/archive/\n");
    // The first instance starts the update script once it holds the lock: that says it is up.
    const QString ready = path(QStringLiteral("first-is-up"));
    writeFile(QStringLiteral("program/test.bat"), "touch '" + QFile::encodeName(ready) + "'\n");

    QProcess first;
    first.setProcessEnvironment(environment());
    first.start(program(), {});
    ASSERT_TRUE(first.waitForStarted(30000));
    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(ready) && waited.elapsed() < 30000 && first.state() == QProcess::Running)
        QThread::msleep(20);
    ASSERT_TRUE(QFile::exists(ready)) << first.readAllStandardError().toStdString();

    for (const QStringList &arguments : {QStringList{}, QStringList{QStringLiteral("/Silent")}})
        EXPECT_EQ(run(arguments).status, 3);
    EXPECT_EQ(readFile(QStringLiteral("config/Sorvik/Sorvik.ini")),
              QByteArray("[frmMain]\nArchiveFolderPath=/srv/archive/\n"));
    EXPECT_EQ(first.state(), QProcess::Running) << "the running instance is not affected";

    first.kill();
    first.waitForFinished(10000);
    // Its lock died with it.
    EXPECT_EQ(run({QStringLiteral("/Silent")}).status, 0);
}

} // namespace
