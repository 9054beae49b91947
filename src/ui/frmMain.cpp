#include "ui/frmMain.h"

#include "app/Dialogs.h"
#include "app/EndProgram.h"
#include "app/Program.h"
#include "app/RunInProgress.h"
#include "app/RunThread.h"
#include "app/StartUp.h"
#include "archive/ArchiveRun.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "ui/ArchiveFolderSelection.h"
#include "ui/HelpFile.h"
#include "ui/LogViewer.h"
#include "ui/PropertySheetDialog.h"
#include "ui/RichLogView.h"
#include "ui/WindowLook.h"
#include "ui/frmAbout.h"
#include "ui/frmOptions.h"
#include "ui/frmSchedule.h"
#include "update/BackgroundCheck.h"
#include "update/ToolsSite.h"
#include "update/UpdateCheck.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {
// A bar that says what it counts also while it is a busy indicator, which has no numbers of its
// own to show.
class WordedBar : public QProgressBar {
public:
    using QProgressBar::QProgressBar;
    QString text() const override
    {
        return maximum() == 0 && minimum() == 0 && isTextVisible() ? format()
                                                                   : QProgressBar::text();
    }
};
} // namespace

frmMain::frmMain(Program &program, QWidget *parent)
    : QMainWindow(parent)
    , m_program(program)
    , m_run(std::make_unique<RunThread>(*this, m_folder,
                                        [this](const RunEnd &end) { runEnded(end); }))
{
    setWindowTitle(QStringLiteral("Orvel Sorvik"));
    buildControls();
    buildMenus();
    m_logView = std::make_unique<RichLogView>(txtLogOutput);
    prepareWindow(this, QSize(640, 480));
    keepPlace(this, program.executableName(), QStringLiteral("frmMain"));
    // Enter starts a run; the path field, read-only, has nothing to do with a key.
    cmdStart->setFocus();
    m_lookForFree.setInterval(50);
    connect(&m_lookForFree, &QTimer::timeout, this, [this] { answerWhenFree(); });
}

void frmMain::buildControls()
{
    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);

    frameWriteDataTo = new QGroupBox(QStringLiteral("Store log archives in this folder:"), central);
    auto *folderRow = new QHBoxLayout(frameWriteDataTo);
    txtOutputPath = new PathField(QStringLiteral("The folder that receives the log archives"),
                                  frameWriteDataTo);
    cmdBrowseForFolder = new QPushButton(QStringLiteral("&Browse"), frameWriteDataTo);
    cmdBrowseForFolder->setToolTip(QStringLiteral("Choose the archive folder in a folder browser"));
    cmdEnterUNC = new QPushButton(QStringLiteral("&UNC"), frameWriteDataTo);
    cmdEnterUNC->setToolTip(QStringLiteral("Type the archive folder as a path, such as a share"));
    folderRow->addWidget(txtOutputPath, 1);
    folderRow->addWidget(cmdBrowseForFolder);
    folderRow->addWidget(cmdEnterUNC);
    layout->addWidget(frameWriteDataTo);

    frmProgress = new QGroupBox(QStringLiteral("Progress"), central);
    auto *progressColumn = new QVBoxLayout(frmProgress);
    ProgressBar = new WordedBar(frmProgress);
    ProgressBar->setRange(0, 1);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    ProgressBar->setToolTip(QStringLiteral("How far the archive run has come: the files taken "
                                           "from the logging folder, then the compression"));
    txtLogOutput = new QTextEdit(frmProgress);
    txtLogOutput->setReadOnly(true);
    // Lines are only ever added and cut: an undo history would grow with every line of a run.
    txtLogOutput->setUndoRedoEnabled(false);
    txtLogOutput->setAcceptRichText(true);
    txtLogOutput->setLineWrapMode(QTextEdit::NoWrap);
    txtLogOutput->setToolTip(QStringLiteral("The run log of the current archive run"));
    // Its lines begin with the date and time and carry paths.
    readLeftToRight(txtLogOutput);
    readLeftToRight(txtOutputPath);
    progressColumn->addWidget(ProgressBar);
    progressColumn->addWidget(txtLogOutput, 1);
    layout->addWidget(frmProgress, 1);

    auto *buttonRow = new QHBoxLayout;
    cmdStart = new QPushButton(QStringLiteral("&Start"), central);
    cmdStart->setToolTip(QStringLiteral("Start an archive run into the folder above"));
    cmdExit = new QPushButton(QStringLiteral("E&xit"), central);
    cmdExit->setToolTip(QStringLiteral("Leave the program (Ctrl+Q)"));
    // Enter presses the button that has the focus, as it would in a dialog.
    for (QPushButton *button : {cmdBrowseForFolder, cmdEnterUNC, cmdStart, cmdExit})
        button->setAutoDefault(true);
    buttonRow->addWidget(cmdStart);
    buttonRow->addStretch(1);
    buttonRow->addWidget(cmdExit);
    layout->addLayout(buttonRow);

    setCentralWidget(central);

    connect(cmdStart, &QPushButton::clicked, this, &frmMain::cmdStart_Click);
    connect(cmdExit, &QPushButton::clicked, this, &frmMain::cmdExit_Click);
    connect(cmdBrowseForFolder, &QPushButton::clicked, this, &frmMain::cmdBrowseForFolder_Click);
    connect(cmdEnterUNC, &QPushButton::clicked, this, &frmMain::cmdEnterUNC_Click);
}

void frmMain::buildMenus()
{
    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuScheduleArchive = mnuFile->addAction(QStringLiteral("&Schedule Archive"));
    QAction *mnuOptions = mnuFile->addAction(QStringLiteral("&Options..."));
    mnuOptions->setObjectName(QStringLiteral("mnuOptions"));
    connect(mnuOptions, &QAction::triggered, this, [this] { frmOptions(m_program, this).exec(); });
    seperator2 = mnuFile->addSeparator();
    mnuExit = mnuFile->addAction(QStringLiteral("E&xit"));
    // One key must not throw a long run away: Ctrl+Q asks as the Exit button does.
    auto *quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &frmMain::cmdExit_Click);

    menuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    Help = menuHelp->addAction(QStringLiteral("&Help"));
    Help->setShortcut(QKeySequence(Qt::Key_F1));
    seperator = menuHelp->addSeparator();
    About = menuHelp->addAction(QStringLiteral("&About"));
    mnuCheckForUpdatedVersion = menuHelp->addAction(QStringLiteral("&Check for updated version"));

    // Help and About are elements 3 and 2 of the menu's item array; their handlers ignore it.
    connect(mnuScheduleArchive, &QAction::triggered, this, &frmMain::mnuScheduleArchive_Click);
    connect(mnuExit, &QAction::triggered, this, &frmMain::mnuExit_Click);
    connect(Help, &QAction::triggered, this, [this] { Help_Click(3); });
    connect(About, &QAction::triggered, this, [this] { About_Click(2); });
    connect(mnuCheckForUpdatedVersion, &QAction::triggered, this,
            &frmMain::mnuCheckForUpdatedVersion_Click);
}

void frmMain::Form_Load(const QStringList &arguments)
{
    // An unattended run takes its thread too, while this one waits for it, hearing stop requests.
    const StartUpJobs jobs = {
        [this] {
            cmdStart_Click();
            waitForRun();
        },
        [this] { checkForUpdatedVersion_Background(m_program, HomePageUrl()); }};
    ::Form_Load(m_program, *this, arguments, jobs);
    m_program.singleInstance().answerLaterStarts([this] {
        if (isMinimized())
            showNormal();
        raise();
        activateWindow();
    });
}

QString frmMain::archiveFolderText() const
{
    return m_folder.get();
}

void frmMain::setArchiveFolderText(const QString &text)
{
    m_folder.set(text);
    txtOutputPath->setText(shownPath(text));
}

void frmMain::setWaitPointer(bool on)
{
    m_waitPointer = on;
    showPointer();
}

void frmMain::setRunning(bool running)
{
    cmdStart->setEnabled(!running);
    showPointer();
}

void frmMain::showPointer()
{
    // An update check that ends during a run leaves the run's wait pointer.
    if (m_waitPointer || !cmdStart->isEnabled())
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

bool frmMain::isRunning() const
{
    return m_run->running() || !cmdStart->isEnabled();
}

void frmMain::waitForRun()
{
    m_run->wait();
}

void frmMain::runLogOpened(const QString &path)
{
    m_program.LastRun.runLog = path;
}

void frmMain::archiveDelivered(const QString &path, qint64 bytes, qint64 entries)
{
    m_program.LastRun.entries = entries;
    m_program.LastRun.archive = path;
    m_program.LastRun.archiveBytes = bytes;
}

void frmMain::runEnded(const RunEnd &end)
{
    // A window may stay open long after its run: that run is no longer at work. An unattended
    // run's record goes only once its outcome is recorded, so that a kill in between is heard.
    if (!m_program.SilentMode)
        forgetRunStart();
    if (end.kind == RunEnd::Kind::Refused)
        m_program.LastRun.refused = true;
    // Ending already, or stopped: whoever stopped it ends the program.
    if (m_ending || end.kind == RunEnd::Kind::Cancelled)
        return;
    // A refusal leaves the program running: its box may come at once.
    if (end.kind == RunEnd::Kind::Refused) {
        AnswerRunEnd(m_program, *this, end);
        return;
    }
    m_unanswered = end;
    answerWhenFree();
}

void frmMain::answerWhenFree()
{
    const bool waiting = m_unanswered && !m_ending && QApplication::activeModalWidget();
    if (waiting)
        m_lookForFree.start();
    else
        m_lookForFree.stop();
    if (waiting || !m_unanswered || m_ending)
        return;
    const RunEnd end = *std::exchange(m_unanswered, std::nullopt);
    m_run->guarded([&] { AnswerRunEnd(m_program, *this, end); });
}

void frmMain::endOnRequest()
{
    m_ending = true;
    EndProgramOnRequest(m_program, *this, *m_run);
}

void frmMain::setProgress(double value, double maximum, ProgressUnit unit)
{
    // Said in words too: a bar alone does not tell the files taken from the compression after.
    // The bar fills in its own numbers, so the text is not made anew for each of 70,000 files.
    constexpr double steps = 1 << 20;
    if (unit == ProgressUnit::Listed) {
        // Nothing to count against yet: a busy bar, with the files found so far.
        ProgressBar->setFormat(
            QStringLiteral("Listing the logging folder: %1 files").arg(qint64(value)));
        ProgressBar->setTextVisible(true);
        ProgressBar->setRange(0, 0);
        return;
    }
    const QString format =
        unit == ProgressUnit::Bytes         ? QStringLiteral("Compressing: %p%")
        : unit == ProgressUnit::CopiedBytes ? QStringLiteral("Copying to the archive folder: %p%")
        // An empty folder's bar is not busy, but says 0 of 0.
        : maximum <= steps && maximum >= 1
            ? QStringLiteral("%v of %m files")
            : QStringLiteral("%1 of %2 files").arg(qint64(value)).arg(qint64(maximum));
    if (ProgressBar->format() != format)
        ProgressBar->setFormat(format);
    ProgressBar->setTextVisible(true);
    // A maximum of 0 would turn the bar into a busy indicator that never stops.
    // A bar counts in int: byte counts past that are shown in proportion.
    if (maximum > steps) {
        value = value * steps / maximum;
        maximum = steps;
    }
    const int top = std::max(1, int(maximum));
    ProgressBar->setRange(0, top);
    ProgressBar->setValue(std::clamp(int(value), 0, top));
}

void frmMain::showRunLog(const QString &path)
{
    LogViewer viewer(path, this, m_program.executableName());
    viewer.exec();
}

void frmMain::cmdStart_Click()
{
    // Runs never overlap: a press while one is under way (still checking the folder) is no press.
    if (m_run->active())
        return;
    // Taken here, on this thread: the run reads nothing of the window's or the settings' itself.
    trapSilently([&] { m_program.WorkStation(); });
    m_program.LastRun = {};
    m_program.LastRun.started = m_program.now();
    m_run->start(std::make_unique<Run>(m_program),
                 [](Run &run, RunHost &host) { return ::cmdStart_Click(run, host); });
}

void frmMain::cmdBrowseForFolder_Click()
{
    ::cmdBrowseForFolder_Click(m_program, *this);
}

void frmMain::cmdEnterUNC_Click()
{
    ::cmdEnterUNC_Click(m_program, *this);
}

frmMain::~frmMain()
{
    if (m_paneShown)
        m_program.runLog().pane().setView(nullptr);
    m_run.reset();
}

void frmMain::mnuScheduleArchive_Click()
{
    if (!m_propertySheet)
        m_propertySheet = std::make_unique<QtTaskPropertySheet>(m_program.executableName());
    frmSchedule schedule(m_program, *this, *m_propertySheet, this);
    schedule.exec();
}

void frmMain::Help_Click(int)
{
    LaunchHelpFile(m_program);
}

frmAbout *frmMain::aboutWindow()
{
    if (!m_about)
        m_about = new frmAbout(m_program.dialogs(), this, m_program.executableName());
    return m_about;
}

void frmMain::About_Click(int)
{
    aboutWindow()->open();
}

void frmMain::mnuCheckForUpdatedVersion_Click()
{
    ::mnuCheckForUpdatedVersion_Click(m_program, *this);
}

void frmMain::cmdExit_Click()
{
    // Enter must not throw the run away: No is the default.
    if (isRunning() &&
        m_program.dialogs().messageBox(
            QStringLiteral("Are you sure you want to cancel this archive operation and exit?"),
            MessageButtons::YesNoDefaultNo) != DialogAnswer::Yes)
        return;
    endOnRequest();
}

void frmMain::mnuExit_Click()
{
    endOnRequest();
}

void frmMain::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // The pane is drawn only once somebody can see it: an unattended run never draws it.
    if (!std::exchange(m_paneShown, true))
        m_program.runLog().pane().setView(m_logView.get());
}

void frmMain::closeEvent(QCloseEvent *event)
{
    event->accept();
    endOnRequest();
}
