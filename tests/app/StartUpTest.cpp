#include "app/StartUp.h"
#include "app/ArchiveFolderSetting.h"
#include "app/EndProgram.h"
#include "archive/ArchiveRun.h"
#include "platform/ProcessPriority.h"

#include "app/Obstacles.h"
#include "platform/SingleInstance.h"
#include "support/Ending.h"
#include "support/TestEnvironment.h"
#include "update/BackgroundCheck.h"
#include "update/ToolsSite.h"

#include <QDir>
#include <QLocalServer>
#include <QTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

const QString notRunning = u"Orvel must be running for this utility to work"_s;
const QString tooOld = u"This utility only works with Orvel 4.0(1) and later"_s;

class StartUpTest : public TempEnvironment {
protected:
    // Starts as the main window does, with the real jobs.
    static std::optional<int> load(Program &program, TestHost &host, const QStringList &arguments)
    {
        const StartUpJobs jobs{[&] { runAndAnswer(program, host); },
                               [&] { checkForUpdatedVersion_Background(program, HomePageUrl()); }};
        return endStatusOf([&] { Form_Load(program, host, arguments, jobs); });
    }
};

// Only a start from the desktop is told why it is refused (a start with arguments, /Silent or
// another: the run table); without the served product nothing is written. A served product that
// runs from version 3 on is accepted and the window shown (status 7 and version 3.0 unattended:
// the run table). The stored folder is restored, and a refusal leaves it as it was.
TEST_F(StartUpTest, TheServedProductsStatusAndVersionDecideTheStart)
{
    const struct {
        std::optional<quint32> version; // none: not installed
        QByteArray status;              // of the stand-in; empty: running
        QString told;                   // none: the start goes on
    } cases[] = {
        {std::nullopt, {}, notRunning},
        {0x00040000u, "unreadable", notRunning},
        {0x00020009u, {}, tooOld},
        {0x00030000u, {}, {}},
    };
    storeArchiveFolder(u"/srv/archive/"_s);
    for (const auto &c : cases) {
        SCOPED_TRACE(QString::number(c.version.value_or(0), 16).toStdString() + " " +
                     c.status.toStdString());
        if (c.version)
            writeServedProduct(*c.version);
        c.status.isEmpty() ? qunsetenv("ORVEL_SIM_STATUS") : qputenv("ORVEL_SIM_STATUS", c.status);
        dialogs.texts.clear();
        host.folder = u"stale"_s;
        const auto program = makeProgram();
        EXPECT_EQ(load(*program, host, {}),
                  c.told.isEmpty() ? std::nullopt : std::optional<int>(ExitStatus::StartRefused));
        EXPECT_EQ(dialogs.texts,
                  c.told.isEmpty() ? std::vector<QString>() : std::vector<QString>{c.told});
        if (!c.version) {
            EXPECT_FALSE(QDir(path("program/logs")).exists()) << "no run log without a run";
        }
        EXPECT_EQ(host.folder, u"/srv/archive/"_s);
        EXPECT_EQ(storedArchiveFolder(*program).folder, u"/srv/archive/"_s);
    }
}

// A second start ends with status 3 (the run table: in either mode, changing nothing); the window
// of the first comes to the front for a start from the desktop, not for a scheduled one. Started
// through su or sudo there is no runtime folder: the second start still finds the first beside the
// lock, never anything another account put there, and the socket goes with the first. Another
// program folder is another program.
TEST_F(StartUpTest, ASecondStartBringsTheFirstWindowToTheFront)
{
    writeServedProduct();
    const QString call = path("program/.Sorvik.call");
    for (const bool runtimeFolder : {true, false}) {
        SCOPED_TRACE(runtimeFolder);
        if (!runtimeFolder)
            qunsetenv("XDG_RUNTIME_DIR");
        auto first = makeProgram();
        ASSERT_EQ(load(*first, host, {}), std::nullopt);
        // Another account's socket at the place, listening: the second start does not knock.
        if (!runtimeFolder && ::geteuid() == 0) {
            QLocalServer theirs;
            ASSERT_TRUE(theirs.listen(call));
            // Whoever listens, the socket is another account's.
            ASSERT_EQ(::chown(QFile::encodeName(call).constData(), 65534, 65534), 0);
            auto second = makeProgram();
            EXPECT_EQ(load(*second, host, {}), ExitStatus::AlreadyRunning);
            EXPECT_FALSE(theirs.waitForNewConnection(0))
                << "the planted socket was told of the start";
        }
        int called = 0;
        first->singleInstance().answerLaterStarts([&] { ++called; });
        struct stat st {};
        EXPECT_TRUE(runtimeFolder || (::lstat(QFile::encodeName(call).constData(), &st) == 0 &&
                                      S_ISSOCK(st.st_mode) && (st.st_mode & 077) == 0));
        auto second = makeProgram();
        for (const QStringList &arguments : {QStringList{}, QStringList{u"/Silent"_s}}) {
            const int before = called;
            EXPECT_EQ(load(*second, host, arguments), ExitStatus::AlreadyRunning);
            for (int i = 0; i < 50 && called == before; ++i)
                QTest::qWait(20);
            EXPECT_EQ(called, before + (arguments.isEmpty() ? 1 : 0));
        }
        // Another name in the same folder shares its working folders: refused alike.
        writeFile("program/nightly", "");
        EXPECT_TRUE(SingleInstance().claim(path("program/nightly")).otherInstance);
        // The held lock opened up to others (a group mode, a second name) is not replaced under it.
        const QByteArray lock = QFile::encodeName(path("program/.Sorvik.lock"));
        for (const bool named : {false, true}) {
            ASSERT_EQ(named ? ::link(lock, lock + ".2") : ::chmod(lock, 0640), 0);
            EXPECT_TRUE(SingleInstance().claim(path("program/nightly")).otherInstance) << named;
            ASSERT_EQ(named ? ::unlink(lock + ".2") : ::chmod(lock, 0600), 0);
        }
        // Given away while held: not passed over as another account's.
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(lock, 65534, 65534), 0);
            EXPECT_TRUE(SingleInstance().claim(path("program/nightly")).otherInstance);
            ASSERT_EQ(::chown(lock, 0, 0), 0);
        }
        auto elsewhere = makeProgram(u"other"_s);
        EXPECT_EQ(load(*elsewhere, host, {}), std::nullopt);
        EXPECT_EQ(endStatusOf([&] { EndProgram(*first, host); }), ExitStatus::Success);
        EXPECT_FALSE(QFileInfo::exists(call)) << "the socket outlived the program";
        // A read lock is anyone's who can read the file: it stops no start.
        ASSERT_EQ(::chmod(lock, 0640), 0);
        const int reader = ::open(lock, O_RDONLY | O_CLOEXEC);
        struct flock shared {};
        shared.l_type = F_RDLCK;
        ASSERT_EQ(::fcntl(reader, F_OFD_SETLK, &shared), 0);
        EXPECT_FALSE(SingleInstance().claim(path("program/nightly")).otherInstance);
        ::close(reader);
    }
}

// Each obstacle at the lock's place in turn (a file of ours others could open is replaced by a
// private one, the rest left): the start goes on, never ending with status 3 nor waiting; with a
// private runtime folder the lock is kept there, so a second start is still refused; without one,
// the program runs unguarded.
TEST_F(StartUpTest, NothingAtTheLockPlaceStopsEveryStart)
{
    writeServedProduct();
    writeFile("target", "kept");
    const QString lock = path("program/.Sorvik.lock");
    QDir().mkpath(path("run"));
    QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // A runtime folder others may write is no place for the lock: as good as none.
    QDir().mkpath(path("open-run"));
    ::chmod(QFile::encodeName(path("open-run")).constData(), 0777);
    const struct {
        const char *folder;
        bool guarded;
    } runtimes[] = {{"run", true}, {"open-run", false}, {nullptr, false}};
    for (const Obstacle &obstacle : obstacles) {
        if (!obstacle.lock || (obstacle.needsRoot && ::geteuid() != 0))
            continue;
        QDir(path("program")).removeRecursively();
        QDir().mkpath(path("program"));
        obstacle.make(lock, path(""));
        for (const auto &runtime : runtimes) {
            runtime.folder ? qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path(runtime.folder)))
                           : qunsetenv("XDG_RUNTIME_DIR");
            auto first = makeProgram();
            EXPECT_EQ(load(*first, host, {}), std::nullopt) << obstacle.what;
            auto second = makeProgram();
            EXPECT_EQ(load(*second, host, {}), runtime.guarded || obstacle.replaced
                                                   ? std::optional<int>(ExitStatus::AlreadyRunning)
                                                   : std::nullopt)
                << obstacle.what << " with the runtime folder "
                << (runtime.folder ? runtime.folder : "unset");
        }
        EXPECT_TRUE(!obstacle.replaced || !QFileInfo::exists(lock) || modeOf(lock) == 0600u)
            << obstacle.what;
        EXPECT_EQ(readFile("target"), QByteArray("kept")) << obstacle.what;
    }
    EXPECT_TRUE(dialogs.texts.empty()) << "nothing to answer";
}

// Launching the update script: the run table's second instance.
TEST_F(StartUpTest, OnlyATrueUpdateCheckSettingLooks)
{
    writeServedProduct();
    // Check under [Update], from the computer's settings or the account's: only "true" looks.
    for (const auto &[file, value, looks] : {std::tuple{"etc/sorvik.ini", "false", 0},
                                             {"etc/sorvik.ini", "maybe", 0},
                                             {"config/Sorvik/Sorvik.ini", "True", 1}}) {
        writeFile(file, QByteArray("[Update]\nCheck=") + value + '\n');
        const auto program = makeProgram();
        int looked = 0;
        endStatusOf([&] { Form_Load(*program, host, {}, {[] {}, [&] { ++looked; }}); });
        EXPECT_EQ(looked, looks) << value;
    }
}

TEST(ProcessPriority, BelowNormalLowersTheOwnProcess)
{
    EXPECT_FALSE(SetProcessPriority(12345));
    errno = 0;
    const int before = ::getpriority(PRIO_PROCESS, 0);
    if (before > 10 && ::geteuid() != 0)
        GTEST_SKIP() << "already below the class; raising it back needs privileges";
    EXPECT_TRUE(SetProcessPriority(PriorityClass::BelowNormal));
    EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), 10);
}

} // namespace
