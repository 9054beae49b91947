// A real archive run through the real main window, while the administrator opens every window and
// box there is, and while they end the program in every way there is.
#include "schedule/TaskScheduler.h"
#include "ui/QtDialogs.h"
#include "ui/frmMain.h"
#include "ui/frmSchedule.h"

#include "support/Ending.h"
#include "support/FaultyFileSystem.h"
#include "support/ModalWatch.h"
#include "support/ScriptedPropertySheet.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

// Lets the run format its diagnostic files one by one, in the order the run takes them, as the
// test gives them: the test sets the run's pace, so that it is under way whatever is opened,
// however slow the machine. A wait that `givesUp` ends stands for an operation that a stop
// interrupts; without it, for one stuck in the system.
class Gate {
public:
    ~Gate() { open(); }
    // Waits until the file at `position` (from 0) may go.
    void take(qsizetype position, const std::function<bool()> &givesUp = {})
    {
        std::unique_lock lock(m_mutex);
        while (!m_changed.wait_for(lock, std::chrono::milliseconds(20),
                                   [&] { return m_open || position < m_allowed; }))
            if (givesUp && givesUp())
                return;
    }
    void give(int files)
    {
        const std::lock_guard lock(m_mutex);
        m_allowed += files;
        m_changed.notify_all();
    }
    void open()
    {
        const std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void close()
    {
        const std::lock_guard lock(m_mutex);
        m_open = false;
        m_allowed = 0;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    qsizetype m_allowed = 0;
    bool m_open = false;
};

class ProbedMain : public frmMain {
public:
    using frmMain::closeEvent;
    using frmMain::frmMain;
};

class LiveWindowTest : public TempEnvironment {
protected:
    void TearDown() override
    {
        gate.open();
        if (server.state() != QProcess::NotRunning) {
            server.closeWriteChannel();
            server.kill();
            server.waitForFinished(10000);
        }
        qunsetenv("SORVIK_TOOLS_SITE");
        window.reset();
        TempEnvironment::TearDown();
    }

    // A run over 60 diagnostic files, each formatted once a token is given.
    void startRun()
    {
        simulate({u"--data"_s, u"2"_s, u"--diag"_s, u"60"_s, u"--diag-size"_s, u"300"_s});
        QDir().mkpath(path("archive"));
        // The run takes the files in the order the folder lists them.
        QStringList order;
        for (const File &file : FileSystem().GetFolder(path("orvel/logs")).Files)
            order << file.Path();
        auto fs = std::make_unique<FaultyFileSystem>();
        fs->before = [this, order](const QString &operation, const QString &file) {
            if (operation == u"OpenTextFile"_s && order.contains(file))
                gate.take(order.indexOf(file), [this] { return stopping.load(); });
        };
        program = makeProgram(u"program"_s, std::move(fs));
        window = std::make_unique<ProbedMain>(*program);
        real.setOwner(window.get());
        window->setArchiveFolderText(path("archive/"));
        window->show();
        window->cmdStart_Click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return runLogSize() > 0; }, 30000));
    }

    qint64 runLogSize() const
    {
        const QStringList logs = QDir(path("program/logs")).entryList(QDir::Files, QDir::Name);
        return logs.isEmpty() ? 0 : QFileInfo(path("program/logs/") + logs.last()).size();
    }

    // The run's file and the window's pane both grow by what two more files bring.
    void expectTheRunToGoOn()
    {
        const qint64 size = runLogSize();
        const QString pane = window->txtLogOutput->toPlainText();
        gate.give(2);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return runLogSize() > size && window->txtLogOutput->toPlainText() != pane; },
            30000))
            << "the run stood still";
    }

    // Opens something during the run: `open` may wait in a loop of its own until it is closed, or
    // return at once. While what `isIt` recognises is up, the run must go on; then `close`.
    void whileOpen(const char *what, const std::function<void()> &open, const char *isIt,
                   const std::function<void(QWidget *)> &close)
    {
        SCOPED_TRACE(what);
        QWidget *const under = QApplication::activeModalWidget();
        const ModalWatch<> watch(
            [&](QWidget *shown) {
                expectTheRunToGoOn();
                close(shown);
            },
            [&](QWidget *shown) { return shown != under && shown->inherits(isIt); });
        open();
        EXPECT_TRUE(QTest::qWaitFor([&] { return watch.seen(); }, 30000)) << "never opened";
    }

    static void reject(QWidget *dialog) { static_cast<QDialog *>(dialog)->reject(); }
    static std::function<void(QWidget *)> press(QMessageBox::StandardButton button)
    {
        return [button](QWidget *box) { static_cast<QMessageBox *>(box)->button(button)->click(); };
    }

    // The tools site on 127.0.0.1, publishing `version` for this tool.
    void publish(const QByteArray &version)
    {
        writeFile("AllDownloads.XML",
                  "<rows><row><cell>^/Applications/Orvel/Sorvik/OrvelSorvik.html^ifram_a</cell>"
                  "<cell>" +
                      version + "</cell></row></rows>\n");
        ownedByTest(server);
        server.start(u"python3"_s,
                     {QStringLiteral(SORVIK_SOURCE_DIR "/tests/support/http_server.py"), u"file"_s,
                      path("AllDownloads.XML")});
        ASSERT_TRUE(server.waitForReadyRead(30000));
        qputenv("SORVIK_TOOLS_SITE", "http://127.0.0.1:" + server.readLine().trimmed());
    }

    // Answers the completion question with No once it comes, and gives the run's end.
    std::optional<int> runToItsEnd()
    {
        gate.open();
        const ModalWatch<QMessageBox> answer(
            [](QMessageBox *box) {
                EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Yes));
                box->button(QMessageBox::No)->click();
            },
            [](QMessageBox *box) { return box->text().startsWith(u"Archive complete."_s); });
        return endStatusOf([&] { window->waitForRun(); });
    }

    QStringList runLog() const
    {
        return runLogEvents(
            readFile("program/logs/" + QDir(path("program/logs")).entryList(QDir::Files).last()));
    }

    Gate gate;
    std::atomic<bool> stopping = false;
    QtDialogs real;
    QProcess server;
    std::unique_ptr<Program> program;
    std::unique_ptr<ProbedMain> window;
};

// Every window and box the window offers, open during a real run: the run goes on meanwhile, and
// the boxes of the update check answer Enter, Escape and Space.
TEST_F(LiveWindowTest, TheRunGoesOnWhileAnyWindowOrBoxIsOpen)
{
    ScriptedPropertySheet quiet;
    makeTaskScheduler(quiet)->CreateTask(u"Nightly"_s)->Save();
    interactiveDialogs = &real;
    launcher.answer = LaunchResult::FileNotFound;
    publish("1.0.1");
    startRun();

    whileOpen(
        "the scheduling window", [&] { window->mnuScheduleArchive_Click(); }, "frmSchedule",
        [&](QWidget *shown) {
            auto *schedule = static_cast<frmSchedule *>(shown);
            schedule->lstTasks->setCurrentRow(0);
            whileOpen(
                "its property sheet", [&] { schedule->cmdProps->click(); }, "PropertySheetDialog",
                reject);
            whileOpen(
                "the new-task box", [&] { schedule->cmdNew->click(); }, "QInputDialog", reject);
            schedule->reject();
        });
    whileOpen(
        "Browse", [&] { window->cmdBrowseForFolder->click(); }, "QFileDialog", reject);
    whileOpen(
        "the UNC box", [&] { window->cmdEnterUNC->click(); }, "QInputDialog", reject);
    whileOpen(
        "the Exit confirmation", [&] { window->cmdExit->click(); }, "QMessageBox",
        press(QMessageBox::No));
    whileOpen(
        "About", [&] { window->About->trigger(); }, "frmAbout",
        [](QWidget *about) { about->findChild<QPushButton *>()->click(); });
    whileOpen(
        "the Help failure box", [&] { window->Help->trigger(); }, "QMessageBox",
        press(QMessageBox::Ok));
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape, Qt::Key_Space}) {
        whileOpen(
            "the update check's answer", [&] { window->mnuCheckForUpdatedVersion->trigger(); },
            "QMessageBox",
            [&](QWidget *box) {
                QPointer<QWidget> answer = box;
                QTest::keyClick(box->windowHandle(), key);
                EXPECT_TRUE(QTest::qWaitFor([&] { return !answer || !answer->isVisible(); }, 5000))
                    << "the box ignored key " << key;
            });
    }
    EXPECT_EQ(window->cursor().shape(), Qt::WaitCursor) << "the update check leaves the run's";

    EXPECT_EQ(runToItsEnd(), ExitStatus::Success);
    EXPECT_EQ(runLog().last(), u"    File copied"_s);
    EXPECT_EQ(QDir(path("archive")).entryList(QDir::Files).size(), 1);
}

// A published version that cannot be compared ("1234", no dot) is told, and then that the site
// gave no version: one box after the other, each answered before the next shows.
TEST_F(LiveWindowTest, TheUpdateChecksBoxesComeOneAfterTheOther)
{
    interactiveDialogs = &real;
    publish("1234");
    program = makeProgram();
    window = std::make_unique<ProbedMain>(*program);
    real.setOwner(window.get());
    window->show();
    window->mnuCheckForUpdatedVersion->trigger();
    const auto shownBoxes = [] {
        QStringList texts;
        for (QWidget *shown : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(shown); box && box->isVisible())
                texts << box->text();
        return texts;
    };
    for (const QString &text :
         {u"(error):9 (Subscript out of range) in procedure PadVersionString of Module "
          "modUpdateCheck"_s,
          u"Unable to contact application home page to check for version.  You can access the "
          "home page and check for updated versions of all Tavik Orvel tools by going to "
          "127.0.0.1:"_s}) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !shownBoxes().isEmpty(); }, 30000));
        const QStringList shown = shownBoxes();
        ASSERT_EQ(shown.size(), 1) << shown.join(u" | "_s).toStdString();
        EXPECT_TRUE(shown.first().startsWith(text)) << shown.first().toStdString();
        static_cast<QMessageBox *>(QApplication::activeModalWidget())
            ->button(QMessageBox::Ok)
            ->click();
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->cursor().shape() == Qt::ArrowCursor; }));
}

} // namespace
