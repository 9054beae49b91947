#include "ui/frmMain.h"
#include "platform/DesktopLauncher.h"
#include "ui/LogViewer.h"
#include "ui/PropertySheetDialog.h"
#include "ui/QtDialogs.h"
#include "ui/WindowLook.h"
#include "ui/frmAbout.h"
#include "ui/frmSchedule.h"
#include "update/UpdateCheck.h"

#include "support/Ending.h"
#include "support/ScriptedPropertySheet.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>

#include <cmath>

namespace {

// Reaches the unload handler without going through Qt's event dispatch, which must not be
// unwound by the test's stand-in for the end of the process.
class ProbedMain : public frmMain {
public:
    using frmMain::closeEvent;
    using frmMain::frmMain;
};

class frmMainTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        program = makeProgram();
        window = std::make_unique<ProbedMain>(*program);
    }

    // Foreground colour of the pane's text at the start of the line that contains `text`.
    QColor colourOfLine(const QString &text) const
    {
        for (QTextBlock block = window->txtLogOutput->document()->begin(); block.isValid();
             block = block.next()) {
            if (block.text().contains(text))
                return block.begin().fragment().charFormat().foreground().color();
        }
        return QColor();
    }

    // A whole run through the real window over a small logging folder; `meanwhile` runs at the
    // run's first look at the window's events.
    std::optional<int> runThroughWindow(const std::function<void()> &meanwhile)
    {
        writeServedProduct();
        for (const char *name : {"data_1.log", "data_2.log", "data_3.log"})
            writeFile(QStringLiteral("orvel-logs/") + QLatin1String(name), "logged");
        QFile::link(path("nowhere"), path("orvel-logs/data_link.log"));
        QDir().mkpath(path("archive"));
        window.reset();
        program = makeProgram();
        window = std::make_unique<ProbedMain>(*program);
        window->setArchiveFolderText(path("archive/"));
        window->show();
        QTimer::singleShot(0, window.get(), meanwhile);
        return endStatusOf([&] { window->cmdStart_Click(); });
    }

    std::unique_ptr<Program> program;
    std::unique_ptr<ProbedMain> window;
};

TEST_F(frmMainTest, ControlsAndMenusAreLaidOutAsTheAdministratorKnowsThem)
{
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    EXPECT_TRUE(window->txtOutputPath->isReadOnly());
    EXPECT_TRUE(window->txtLogOutput->isReadOnly());

    auto global = [](QWidget *w) { return QRect(w->mapToGlobal(QPoint(0, 0)), w->size()); };
    EXPECT_LT(global(window->frameWriteDataTo).bottom(), global(window->frmProgress).top());
    EXPECT_LT(global(window->frmProgress).bottom(), global(window->cmdStart).top());
    EXPECT_LT(global(window->txtOutputPath).right(), global(window->cmdBrowseForFolder).left());
    EXPECT_LT(global(window->cmdBrowseForFolder).right(), global(window->cmdEnterUNC).left());
    EXPECT_LT(global(window->ProgressBar).bottom(), global(window->txtLogOutput).top());
    EXPECT_LT(global(window->cmdStart).right(), global(window->cmdExit).left());

    // Captions as shown: the "&" only underlines an access key.
    QStringList menus;
    for (QAction *menu : window->menuBar()->actions()) {
        menus << menu->text().remove(u'&');
        for (QAction *item : menu->menu()->actions())
            menus << (item->isSeparator() ? u"-"_s : u"  "_s + item->text().remove(u'&'));
    }
    EXPECT_EQ(menus, (QStringList{u"File"_s, u"  Schedule Archive"_s, u"  Options..."_s, u"-"_s,
                                  u"  Exit"_s, u"Help"_s, u"  Help"_s, u"-"_s, u"  About"_s,
                                  u"  Check for updated version"_s}));
}

TEST_F(frmMainTest, FolderFieldCannotBeTypedInto)
{
    window->setArchiveFolderText(u"/srv/archive/"_s);
    window->show();
    window->txtOutputPath->setFocus();
    QTest::keyClicks(window->txtOutputPath, u"typed"_s);
    EXPECT_EQ(window->archiveFolderText(), u"/srv/archive/"_s);
}

TEST_F(frmMainTest, PaneShowsTheRunLogInItsColours)
{
    // Lines written before the window shows appear when it does.
    program->runLog().OpenRunLog(path("run.TXT"));
    window->show();
    program->runLog().WriteLogLine(u"    progress line"_s);
    program->runLog().WriteLogLine(u"(error) something broke"_s);
    program->runLog().WriteLogLine(u"(warning) something odd"_s);

    EXPECT_EQ(colourOfLine(u"progress line"_s), QColor(Qt::black));
    EXPECT_EQ(colourOfLine(u"something broke"_s), QColor(255, 0, 0));
    // Warnings in a colour that reads on the pane's background (contrast of at least 4.5 to 1).
    const auto luminance = [](const QColor &c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const QColor background = window->txtLogOutput->palette().color(QPalette::Base);
    for (const QString &warning : {u"something odd"_s, u"**Search for"_s}) {
        const QColor shown = colourOfLine(warning);
        EXPECT_NE(shown, QColor(Qt::black));
        EXPECT_NE(shown, QColor(255, 0, 0));
        EXPECT_GE((luminance(background) + 0.05) / (luminance(shown) + 0.05), 4.5);
    }

    // After the pane has been cut, what it shows is still exactly the pane's text.
    for (int i = 0; i < 400; ++i)
        program->runLog().WriteLogLine(u"line %1 (error)"_s.arg(i));
    const QString shown = window->txtLogOutput->toPlainText();
    QString expected = program->runLog().pane().text();
    expected.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(colourOfLine(u"line 399 (error)"_s), QColor(255, 0, 0));
}

TEST_F(frmMainTest, RunningStateDisablesStartAndShowsTheWaitPointer)
{
    window->setRunning(true);
    EXPECT_FALSE(window->cmdStart->isEnabled());
    EXPECT_TRUE(window->isRunning());
    EXPECT_EQ(window->cursor().shape(), Qt::WaitCursor);
    window->setRunning(false);
    EXPECT_TRUE(window->cmdStart->isEnabled());
    EXPECT_EQ(window->cursor().shape(), Qt::ArrowCursor);

    window->setProgress(0, 0, ProgressUnit::Files);
    EXPECT_GT(window->ProgressBar->maximum(), 0)
        << "an empty folder must not leave a busy indicator";
    window->setProgress(3, 7, ProgressUnit::Files);
    EXPECT_EQ(window->ProgressBar->value(), 3);
    EXPECT_EQ(window->ProgressBar->maximum(), 7);
    EXPECT_EQ(window->ProgressBar->text(), u"3 of 7 files"_s);
    window->setProgress(45, 100, ProgressUnit::Bytes);
    EXPECT_EQ(window->ProgressBar->text(), u"Compressing: 45%"_s);
}

TEST_F(frmMainTest, ExitAsksOnlyDuringARun)
{
    window->setArchiveFolderText(u"/srv/kept/"_s);
    EXPECT_EQ(endStatusOf([&] { window->cmdExit_Click(); }), ExitStatus::Success);
    EXPECT_TRUE(dialogs.texts.empty());

    window->setRunning(true);
    dialogs.answers = {DialogAnswer::No};
    EXPECT_EQ(endStatusOf([&] { window->cmdExit_Click(); }), std::nullopt)
        << "No lets the run go on";
    EXPECT_EQ(dialogs.texts,
              std::vector<QString>{QStringLiteral(
                  "Are you sure you want to cancel this archive operation and exit?")});
    EXPECT_TRUE(window->isRunning());
}

// However the administrator ends a run (Exit and Yes, File > Exit, closing the window, a stop
// signal), the run log says it was cut, the status is 1 and the run's own files are gone.
TEST_F(frmMainTest, EndingDuringARunCancelsItAndCleansUp)
{
    const std::vector<std::pair<const char *, std::function<void()>>> ways = {
        {"Exit", [&] { window->cmdExit_Click(); }},
        {"File > Exit", [&] { window->mnuExit_Click(); }},
        {"close",
         [&] {
             QCloseEvent close;
             window->closeEvent(&close);
         }},
    };
    for (const auto &[way, end] : ways) {
        SCOPED_TRACE(way);
        QDir().mkpath(path("program/logs"));
        program->runLog().OpenRunLog(path("program/logs/run.TXT"));
        writeFile("program/TempDiags/diag_1.log.fmtd.txt", "formatted");
        writeFile("program/ZIPS/LOG_Archive_SRV01_1.ZIP.part3", "piece");
        writeFile("program/ZIPS/kept.txt", "not the run's");
        program->addRunTemporaries(path("program/ZIPS/LOG_Archive_SRV01_1.ZIP"));
        program->addRunTemporaries(path("program/TempDiags/"));
        window->setRunning(true);
        window->setArchiveFolderText(u"/srv/saved/"_s);
        dialogs.answers = {DialogAnswer::Yes};
        EXPECT_EQ(endStatusOf(end), ExitStatus::RunFailed);
        EXPECT_TRUE(runLogLines(readFile("program/logs/run.TXT"))
                        .last()
                        .endsWith(u"(error) the archive run was cancelled before it completed - "
                                  "no archive was delivered."_s));
        EXPECT_EQ(QDir(path("program/TempDiags")).entryList(QDir::Files), QStringList());
        EXPECT_EQ(QDir(path("program/ZIPS")).entryList(QDir::Files), QStringList{u"kept.txt"_s});
        EXPECT_TRUE(readFile("config/Sorvik/Sorvik.ini").contains("ArchiveFolderPath=/srv/saved/"));
    }

    // Outside a run nothing is asked and nothing is counted against the run that ended.
    window->setRunning(false);
    program->runLog().OpenRunLog(path("program/logs/idle.TXT"));
    EXPECT_EQ(endStatusOf([&] { window->mnuExit_Click(); }), ExitStatus::Success);
}

TEST_F(frmMainTest, HelpTellsWhyThePageDidNotOpen)
{
    const QString help = path("program/Help/OrvelSorvik.htm");
    launcher.answer = LaunchResult::Success;
    window->Help_Click(3);
    EXPECT_EQ(launcher.opened, std::vector<QString>{help});
    EXPECT_TRUE(dialogs.texts.empty());

    launcher.answer = LaunchResult::NoAssociation;
    window->Help_Click(3);
    launcher.answer = LaunchResult::FileNotFound;
    window->Help_Click(3);
    EXPECT_EQ(
        dialogs.texts,
        (std::vector<QString>{
            u"No program is currently associated to open this file type: "_s + help,
            u"Unable to launch help file "_s + help +
                QStringLiteral(
                    ". Try opening the file manually in a browser. Error code returned is 2")}));

    EXPECT_EQ(DesktopLauncher().open(help), LaunchResult::FileNotFound);
}

TEST_F(frmMainTest, AboutShowsTheVersionFilledOnce)
{
    for (int showing = 0; showing < 2; ++showing) {
        window->About_Click(2);
        auto *about = window->findChild<frmAbout *>();
        ASSERT_NE(about, nullptr);
        EXPECT_TRUE(about->isVisible());
        EXPECT_TRUE(about->isModal()) << "the main window waits, its run does not";
        EXPECT_EQ(about->windowTitle(), u"Orvel Sorvik"_s);
        EXPECT_EQ(about->lblVersionTitle->text(), u"Version:"_s);
        EXPECT_TRUE(about->lblVersionTitle->font().bold());
        EXPECT_EQ(about->lblVersion->text(), u"1.0.1"_s);
        EXPECT_FALSE(about->picLogo->pixmap().isNull());
        about->cmdOK->click();
    }
    auto *about = window->findChild<frmAbout *>();
    ASSERT_NE(about, nullptr);
    EXPECT_FALSE(about->isVisible());
    EXPECT_EQ(about->loads(), 1);
}

// About and the update check are up while the run goes on to its end: neither holds it up.
TEST_F(frmMainTest, ARunGoesOnWhileAboutAndTheUpdateCheckAreOpen)
{
    QTcpServer stalled; // takes the request and never answers
    ASSERT_TRUE(stalled.listen(QHostAddress::LocalHost));
    qputenv("SORVIK_TOOLS_SITE", "http://127.0.0.1:" + QByteArray::number(stalled.serverPort()));
    bool checked = false;
    dialogs.answers = {DialogAnswer::No};
    const auto status = runThroughWindow([&] {
        window->About_Click(2);
        mnuCheckForUpdatedVersion_Click(*program, *window, [&] { checked = true; });
        // A nested box would hold the run until this closed it; the run must not need it.
        QTimer::singleShot(10000, window->aboutWindow(), &QWidget::hide);
    });
    qunsetenv("SORVIK_TOOLS_SITE");
    EXPECT_EQ(status, ExitStatus::Success);
    EXPECT_TRUE(window->aboutWindow()->isVisible());
    EXPECT_FALSE(checked);
    EXPECT_TRUE(runLogEvents(readFile("program/logs/" +
                                      QDir(path("program/logs")).entryList(QDir::Files).last()))
                    .filter(u"ZIP archive creation completed."_s)
                    .size() == 1);
    ASSERT_TRUE(dialogs.cancelBusy);
    dialogs.cancelBusy();
    EXPECT_TRUE(checked) << "Cancel ends the check at once";
    EXPECT_EQ(dialogs.texts, std::vector<QString>{
                                 u"Archive complete. 0 errors encountered.  View log file now?"_s});
}

// Where no editor can be started, the log opens in the program's own viewer, which jumps from
// problem to problem; the program ends once it is closed.
TEST_F(frmMainTest, WithoutAnEditorTheRunLogOpensInTheViewer)
{
    launcher.answer = LaunchResult::NoAssociation;
    dialogs.answers = {DialogAnswer::Yes};
    QStringList visited;
    QColor errorColour;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        auto *viewer = qobject_cast<LogViewer *>(QApplication::activeModalWidget());
        if (!viewer)
            return;
        look.stop();
        QApplication::setActiveWindow(viewer);
        const auto line = [&] { return viewer->txtLog->textCursor().block().text(); };
        for (const auto key : {Qt::Key_F3, Qt::Key_F3, Qt::Key_F3}) {
            QTest::keyClick(viewer, key);
            visited << line();
        }
        QTest::keyClick(viewer, Qt::Key_F3, Qt::ShiftModifier);
        visited << line();
        const QTextBlock error = viewer->txtLog->document()->findBlock(
            viewer->txtLog->document()->find(u"(error) in cmdStart_Click"_s).position());
        if (!error.layout()->formats().isEmpty())
            errorColour = error.layout()->formats().first().format.foreground().color();
        viewer->cmdClose->click();
    });
    look.start(10);
    EXPECT_EQ(runThroughWindow([] {}), ExitStatus::RunFailed);
    ASSERT_EQ(visited.size(), 4);
    EXPECT_TRUE(visited[0].startsWith(u"**Search for '(error)'"_s));
    EXPECT_TRUE(visited[1].contains(u"(warning) not archived, not a regular file:"_s));
    EXPECT_TRUE(visited[2].contains(u"(error) in cmdStart_Click on frmMain:the text editor"_s));
    EXPECT_EQ(visited[3], visited[1]) << "Shift+F3 goes back one problem";
    EXPECT_EQ(errorColour, QColor(255, 0, 0));
}

// The real boxes of a command that may come during a run return at once.
TEST_F(frmMainTest, BoxesDuringARunDoNotWaitForTheirAnswer)
{
    QtDialogs real;
    real.setOwner(window.get());
    window->show();
    std::optional<DialogAnswer> answer;
    real.messageBoxLater(u"later"_s, MessageButtons::YesNo, QString(),
                         [&](DialogAnswer given) { answer = given; });
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowTitle(), u"Sorvik"_s);
    EXPECT_FALSE(answer);
    box->button(QMessageBox::No)->click();
    EXPECT_EQ(answer, DialogAnswer::No);

    bool cancelled = false;
    auto notice = real.showBusy(u"checking"_s, [&] { cancelled = true; });
    auto *progress = window->findChild<QProgressDialog *>();
    ASSERT_NE(progress, nullptr);
    EXPECT_TRUE(progress->isVisible());
    progress->findChild<QPushButton *>()->click();
    EXPECT_TRUE(cancelled);
    notice.reset();
    EXPECT_FALSE(progress->isVisible());
}

// Every window at the fonts administrators use: text that fits, a tooltip on everything that
// can be pressed or filled in, the logo as icon, and a first size within the screen.
TEST_F(frmMainTest, EveryWindowFitsItsTextAndTheScreen)
{
    const QFont original = QApplication::font();
    ScriptedPropertySheet quiet;
    auto scheduler = makeTaskScheduler(quiet);
    auto task = scheduler->CreateTask(u"Nightly"_s);
    task->setApplicationName(u"/opt/"_s + QString(u"very-long-folder-name/"_s).repeated(12) +
                             u"Sorvik"_s);
    const QRect screen = QApplication::primaryScreen()->availableGeometry();
    for (const int points : {11, 14}) {
        QFont font = original;
        font.setPointSize(points);
        QApplication::setFont(font);
        ProbedMain main(*program);
        main.setArchiveFolderText(u"/srv/archive/"_s);
        frmSchedule schedule(*program, main, quiet);
        frmAbout about(dialogs);
        PropertySheetDialog sheet(*task, nullptr);
        for (QWidget *shown : std::initializer_list<QWidget *>{&main, &schedule, &about, &sheet}) {
            SCOPED_TRACE(std::to_string(points) + " pt " + shown->metaObject()->className());
            shown->show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(shown));
            EXPECT_EQ(shown->windowIcon().pixmap(32).toImage(), logoIcon().pixmap(32).toImage());
            EXPECT_TRUE(screen.contains(shown->geometry()))
                << shown->geometry().width() << "x" << shown->geometry().height();
            for (QWidget *w : shown->findChildren<QWidget *>()) {
                if (!w->isVisibleTo(shown))
                    continue;
                const QString what = QString::fromLatin1(w->metaObject()->className()) + u" "_s +
                                     w->property("text").toString();
                EXPECT_TRUE(shown->rect().contains(QRect(w->mapTo(shown, QPoint()), w->size())))
                    << what.toStdString();
                const bool label = qobject_cast<QLabel *>(w) && !qobject_cast<ElidedLabel *>(w);
                if (label || qobject_cast<QAbstractButton *>(w)) {
                    EXPECT_GE(w->width(), w->sizeHint().width()) << what.toStdString();
                    EXPECT_GE(w->height(), w->sizeHint().height()) << what.toStdString();
                }
                const bool field = qobject_cast<QAbstractButton *>(w) ||
                                   qobject_cast<QTextEdit *>(w) || qobject_cast<QListWidget *>(w) ||
                                   qobject_cast<QAbstractSpinBox *>(w) ||
                                   (qobject_cast<QLineEdit *>(w) &&
                                    !qobject_cast<QAbstractSpinBox *>(w->parentWidget()));
                EXPECT_TRUE(!field || !w->toolTip().isEmpty()) << what.toStdString();
            }
            shown->hide();
        }
        // A path too long for its field is kept whole in the tooltip.
        EXPECT_TRUE(sheet.txtProgram->toolTip().contains(task->ApplicationName()));
    }
    QApplication::setFont(original);
    EXPECT_EQ(firstSize(QSize(640, 480), QSize(300, 200), QSize(624, 352)), QSize(624, 352));
    EXPECT_EQ(firstSize(QSize(516, 350), QSize(560, 380), QSize(1264, 752)), QSize(560, 380));
}

// The keys: Alt and the underlined letter open a menu, F1 is Help > Help, Ctrl+Q is File >
// Exit.
TEST_F(frmMainTest, KeysReachTheMenuCommands)
{
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_F, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->mnuFile->isVisible(); }, 2000));
    window->mnuFile->hide();

    launcher.answer = LaunchResult::Success;
    QTest::keyClick(window.get(), Qt::Key_F1);
    EXPECT_EQ(launcher.opened, std::vector<QString>{path("program/Help/OrvelSorvik.htm")});

    // Ending the test program through Qt's key dispatch would unwind it: the key is followed as
    // far as the one action that the menu item also triggers.
    window->mnuExit->disconnect(window.get());
    QSignalSpy exits(window->mnuExit, &QAction::triggered);
    QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(exits.count(), 1);

    // Enter presses the focused button.
    QSignalSpy starts(window->cmdExit, &QPushButton::clicked);
    window->cmdExit->disconnect(window.get());
    window->cmdExit->setFocus();
    QTest::keyClick(window->cmdExit, Qt::Key_Return);
    EXPECT_EQ(starts.count(), 1);
}

TEST_F(frmMainTest, ABoxBeforeTheWindowShowsIsCentredOnTheScreen)
{
    QtDialogs real;
    real.setOwner(window.get()); // loaded, never shown: the start-up refusals
    QRect where;
    QWidget *owner = window.get();
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        where = box->frameGeometry();
        owner = box->parentWidget();
        box->button(QMessageBox::Ok)->click();
    });
    real.messageBox(u"Orvel must be running"_s);
    EXPECT_EQ(owner, nullptr);
    const QPoint centre = QApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((where.center() - centre).manhattanLength(), 4);
}

} // namespace
