#include "ui/frmSchedule.h"

#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/RunHost.h"
#include "common/Failure.h"
#include "common/TimeText.h"
#include "schedule/TaskScheduler.h"

#include <QEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>

namespace {
// The window was laid out in twips; 15 of them make a pixel.
QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}
} // namespace

frmSchedule::frmSchedule(Program &program, RunHost &mainWindow, TaskPropertySheet &sheet,
                         QWidget *parent)
    : QDialog(parent)
    , m_program(program)
    , m_mainWindow(mainWindow)
    , m_sheet(sheet)
{
    setWindowTitle(QStringLiteral("File Archive Scheduler"));
    setModal(true);
    buildControls();
    wireList();
    Form_Load();
}

frmSchedule::~frmSchedule() = default;

void frmSchedule::buildControls()
{
    setFixedSize(twips(0, 0, 7740, 5250).size());
    lstTasks = new QListWidget(this);
    lstTasks->setGeometry(twips(60, 60, 5700, 2400));
    lstTasks->setSortingEnabled(false);
    const auto button = [this](const QString &caption, QRect where) {
        auto *b = new QPushButton(caption, this);
        b->setGeometry(where);
        return b;
    };
    cmdNew = button(QStringLiteral("Schedule Archive"), twips(5820, 75, 1875, 375));
    cmdProps = button(QStringLiteral("Task Properties"), twips(5820, 495, 1875, 375));
    cdmDelete = button(QStringLiteral("&Delete Task"), twips(5820, 915, 1875, 375));
    cmdClose = button(QStringLiteral("Close"), twips(5820, 2100, 1875, 375));

    Frame1 = new QFrame(this);
    Frame1->setFrameShape(QFrame::StyledPanel);
    Frame1->setGeometry(twips(60, 2520, 7590, 2670));
    const struct {
        int caption;
        const char *text;
        int top;
        int value;
    } rows[] = {{0, "Program File:", 225, 0}, {1, "Command Line:", 465, 1},
                {4, "Last Runtime:", 750, 3}, {5, "Next Runtime:", 1065, 4},
                {6, "Creator:", 1365, 5},     {7, "Schedule", 1710, -1}};
    for (const auto &row : rows) {
        lbLabels[size_t(row.caption)] = new QLabel(QLatin1String(row.text), Frame1);
        lbLabels[size_t(row.caption)]->setGeometry(twips(120, row.top, 1650, 255));
        if (row.value >= 0) {
            lblInfo[size_t(row.value)] = new QLabel(Frame1);
            lblInfo[size_t(row.value)]->setGeometry(twips(1830, row.top, 5640, 255));
            lblInfo[size_t(row.value)]->setTextInteractionFlags(Qt::TextSelectableByMouse);
        }
    }
    txtSchedule = new QTextEdit(Frame1);
    txtSchedule->setGeometry(twips(1890, 1725, 5565, 435));
    txtSchedule->setReadOnly(true);
    txtSchedule->setAcceptRichText(false);

    connect(lstTasks, &QListWidget::itemClicked, this, &frmSchedule::lstTasks_Click);
    connect(lstTasks, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0)
            lstTasks_Click();
    });
    connect(cmdNew, &QPushButton::clicked, this, &frmSchedule::cmdNew_Click);
    connect(cmdProps, &QPushButton::clicked, this, &frmSchedule::cmdProps_Click);
    connect(cdmDelete, &QPushButton::clicked, this, &frmSchedule::cdmDelete_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmSchedule::cmdClose_Click);
}

void frmSchedule::wireList()
{
    lstTasks->installEventFilter(this);
    connect(lstTasks, &QListWidget::currentRowChanged, this, &frmSchedule::selectionChanged);
    connect(lstTasks, &QListWidget::itemDoubleClicked, this, &frmSchedule::cmdProps_Click);
    selectionChanged(lstTasks->currentRow());
}

void frmSchedule::selectionChanged(int row)
{
    cmdProps->setEnabled(row >= 0);
    cdmDelete->setEnabled(row >= 0);
    if (row >= 0)
        return;
    for (QLabel *value : lblInfo)
        if (value)
            value->clear();
    txtSchedule->clear();
}

bool frmSchedule::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lstTasks && event->type() == QEvent::KeyPress && lstTasks->currentRow() >= 0) {
        // Taken here: the dialog would hand Enter to its default button, the new-task box.
        switch (static_cast<QKeyEvent *>(event)->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            cmdProps_Click();
            return true;
        case Qt::Key_Delete:
            cdmDelete_Click();
            return true;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

TaskScheduler &frmSchedule::Scheduler()
{
    if (!m_scheduler)
        m_scheduler = makeTaskScheduler(m_sheet);
    return *m_scheduler;
}

void frmSchedule::report(const char *procedure, const QString &description)
{
    m_program.dialogs().messageBox(QStringLiteral("(error) in frmSchedule: %1: %2")
                                       .arg(QLatin1String(procedure), description));
}

void frmSchedule::Form_Load()
{
    RefreshList();
}

void frmSchedule::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Some platforms never make a dialog active: look at the folder once it is up, in any case.
    QTimer::singleShot(0, this, &frmSchedule::Form_Activate);
}

void frmSchedule::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        Form_Activate();
}

void frmSchedule::Form_Activate()
{
    if (!isVisible())
        return;
    // A folder text this short has never held a folder that a run completed into.
    if (m_mainWindow.archiveFolderText().size() < 3) {
        m_program.dialogs().messageBox(
            QStringLiteral("Before scheduling an archive, make sure you've run a manual archive to "
                           "completion first."));
        reject();
    }
}

void frmSchedule::RefreshList()
{
    // The selection stays on the task it was on, and the details with it; a task gone takes both.
    const QString selected = lstTasks->currentItem() ? lstTasks->currentItem()->text() : QString();
    {
        const QSignalBlocker quiet(lstTasks);
        lstTasks->clear();
        trap(
            [&] {
                Scheduler().ReloadTasks();
                for (const auto &task : Scheduler().tasks())
                    lstTasks->addItem(task->name());
            },
            [&](const Failure &f) { report("RefreshList", f.description()); });
        const auto same = lstTasks->findItems(selected, Qt::MatchExactly);
        if (!selected.isEmpty() && !same.isEmpty())
            lstTasks->setCurrentItem(same.first());
    }
    selectionChanged(lstTasks->currentRow());
    if (lstTasks->currentRow() >= 0)
        lstTasks_Click();
}

void frmSchedule::lstTasks_Click()
{
    const int row = lstTasks->currentRow();
    if (row < 0)
        return;
    const int position = row + 1;
    trap(
        [&] {
            TaskScheduler &scheduler = Scheduler();
            lblInfo[0]->setText(scheduler.GetTask(position)->ApplicationName());
            lblInfo[1]->setText(scheduler.GetTask(position)->CommandLine());
            const QDateTime last = scheduler.GetTask(position)->LastRunTime();
            lblInfo[3]->setText(last.isValid() ? taskTimeText(last) : QStringLiteral("Never"));
            const QDateTime next = scheduler.GetTask(position)->nextRunAfter(m_program.now());
            lblInfo[4]->setText(next.isValid() ? taskTimeText(next)
                                               : QStringLiteral("Not scheduled"));
            lblInfo[5]->setText(scheduler.GetTask(position)->Creator());
            QString schedule;
            for (const TaskTrigger &trigger : scheduler.GetTask(position)->Triggers())
                schedule += trigger.Text() + QStringLiteral("\r\n");
            txtSchedule->setPlainText(schedule);
        },
        [&](const Failure &f) { report("lstTasks_Click", f.description()); });
}

void frmSchedule::cmdProps_Click()
{
    if (lstTasks->currentRow() < 0)
        return;
    trap([&] { Scheduler().GetTask(lstTasks->currentItem()->text())->ShowPropertySheet(this); },
         [&](const Failure &f) { report("cmdProps_Click", f.description()); });
    RefreshList();
}

void frmSchedule::cdmDelete_Click()
{
    if (lstTasks->currentRow() < 0)
        return;
    const QString name = lstTasks->currentItem()->text();
    if (m_program.dialogs().messageBox(
            QStringLiteral("Are you sure you want to delete the task: ") + name +
                QStringLiteral("\"?"),
            MessageButtons::YesNo) != DialogAnswer::Yes)
        return;
    trap([&] { Scheduler().RemoveTask(name); },
         [&](const Failure &f) { report("cdmDelete_Click", f.description()); });
    RefreshList();
}

void frmSchedule::cmdClose_Click()
{
    reject();
}

void frmSchedule::cmdNew_Click()
{
    QString name;
    const auto report = [&](const Failure &f) {
        m_program.dialogs().messageBox(QStringLiteral("(error) in frmSchedule: cmdNew: ") +
                                       f.description() + QStringLiteral("\r\nTaskName=") + name);
    };
    const auto step = [&](const std::function<void()> &work) { trap(work, report); };

    QString computer;
    step([&] { computer = m_program.WorkStation().ComputerName(); });
    step([&] {
        name = m_program.dialogs()
                   .inputBox(QStringLiteral("Type the task name"), QString(),
                             QStringLiteral("Orvel File Archive ") + computer)
                   .trimmed();
    });
    if (name.isEmpty())
        return;
    name.replace(QLatin1Char('.'), QLatin1Char('_'));

    bool duplicate = false;
    step([&] {
        for (const auto &task : Scheduler().tasks())
            duplicate = duplicate || task->name().compare(name, Qt::CaseInsensitive) == 0;
    });
    if (duplicate) {
        m_program.dialogs().messageBox(QStringLiteral("Please select a unique name for the task"));
        return;
    }

    std::shared_ptr<ScheduledTask> task;
    step([&] { task = Scheduler().CreateTask(name); });
    if (!task)
        return;
    step([&] { task->setApplicationName(m_program.programFolder() + QStringLiteral("/Sorvik")); });
    step([&] { task->setCommandLine(QStringLiteral("/Silent ")); });
    step([&] {
        task->setCreator(QStringLiteral("Orvel Sorvik [") + m_program.WorkStation().ComputerName() +
                         QLatin1Char(']'));
    });
    step([&] {
        TaskTrigger &trigger = task->addTrigger();
        trigger.TriggerType = TriggerTypes::Daily;
        trigger.BeginDay = m_program.now();
        trigger.StartTime = m_program.now();
    });
    step([&] { task->setFlags(TaskFlags::Disabled); });
    step([&] { task->Save(); });
    step([&] { task->ShowProperties(); });
    task.reset();
    RefreshList();
}
