#include "runlog/RunLog.h"

#include "common/ControlText.h"
#include "common/Failure.h"
#include "common/TimeText.h"
#include "common/Version.h"
#include "platform/FileSystem.h"
#include "platform/SystemLog.h"

#include <algorithm>
#include <ctime>
#include <limits>

namespace {
const QString rule = QString(64, QLatin1Char('='));
constexpr qsizetype paneLimit = 10000;
constexpr qsizetype paneCut = 6000;

// Room for `more` at the end, at least doubling: a batch held a few lines at a time is not copied
// over and over.
template <typename List> void makeRoom(List &list, size_t more)
{
    const size_t size = size_t(list.size());
    if (size_t(list.capacity()) < size + more)
        list.reserve(decltype(list.size())(std::max(size + more, 2 * size)));
}
} // namespace

RunLog::RunLog(FileSystem &fs, QString executableName, Clock clock)
    : m_fs(fs)
    , m_executableName(std::move(executableName))
    , m_clock(std::move(clock))
{
}

RunLog::~RunLog()
{
    writeHeldQuietly();
}

qint32 RunLog::ErrorCount() const
{
    const std::lock_guard lock(m_mutex);
    return m_errorCount;
}

bool RunLog::complete() const
{
    const std::lock_guard lock(m_mutex);
    return m_complete;
}

RunLog::StreamState RunLog::state() const
{
    const std::lock_guard lock(m_mutex);
    if (!LogStream)
        return StreamState::Empty;
    return LogStream->isOpen() ? StreamState::Open : StreamState::Closed;
}

void RunLog::takeOver(std::thread::id owner)
{
    const std::lock_guard lock(m_mutex);
    writeHeldQuietly();
    m_owner = owner;
}

bool RunLog::ownedElsewhere() const
{
    return m_owner != std::thread::id() && m_owner != std::this_thread::get_id();
}

void RunLog::OpenRunLog(const QString &path)
{
    const std::lock_guard lock(m_mutex);
    if (ownedElsewhere())
        return;
    writeHeldQuietly();
    trapSilently([&] {
        if (m_fs.FileExists(path))
            m_fs.DeleteFile(path, true);
    });
    m_path = path;
    m_started = true;
    m_complete = true;
    LogStream.reset();
    if (path.isEmpty())
        loseFile(QStringLiteral("there is no place for it"));
    else
        trap([&] { LogStream = m_fs.CreateTextFile(path, true, true); },
             [&](const Failure &failure) { loseFile(failure.description()); });

    writeLine(rule, false);
    writeLine(QStringLiteral("Running %1, version %2\r\n").arg(m_executableName, versionText()),
              false);
    writeLine(QStringLiteral("Local time=") + generalDateTime(m_clock()), false);
    writeLine(rule, false);
    writeLine(QStringLiteral(
                  "**Search for '(error)' or '(warning)' strings in the log for problems**\r\n"),
              false);
    // Only now: the last header line mentions "(error)" and was counted.
    m_errorCount = 0;
}

void RunLog::WriteLogLine(const QString &event, bool timeStamp)
{
    WriteLogLines(QStringList{event}, timeStamp);
}

void RunLog::WriteLogLines(const QStringList &events, bool timeStamp)
{
    const std::lock_guard lock(m_mutex);
    if (!ownedElsewhere())
        writeLines(events, timeStamp);
}

void RunLog::HoldLogLines(const QStringList &events)
{
    const std::lock_guard lock(m_mutex);
    if (!ownedElsewhere())
        writeLines(events, true, true);
}

void RunLog::WriteHeldLines()
{
    const std::lock_guard lock(m_mutex);
    if (!ownedElsewhere())
        writeHeld();
}

void RunLog::writeLine(const QString &event, bool timeStamp)
{
    writeLines(QStringList{event}, timeStamp);
}

void RunLog::writeLines(const QStringList &events, bool timeStamp, bool hold)
{
    if (!m_started || events.isEmpty())
        return;
    QStringList lines;
    std::vector<quint32> colours;
    for (const QString &event : events) {
        // Names and messages from outside may hold line breaks: shown escaped, they cannot pass
        // for lines of their own. A CR LF that ends the text stays (the header's empty lines):
        // what follows it is an empty line, nothing that reads as a line of ours.
        const bool endsWithBreak = event.endsWith(QLatin1String("\r\n"));
        QString text =
            endsWithBreak ? escapeControls(QStringView(event).chopped(2)) : escapeControls(event);
        if (endsWithBreak)
            text += QLatin1String("\r\n");
        const quint32 colour = lineColour(text);
        if ((colour == PaneColour::Red || (colour == PaneColour::Yellow && mentionsError(text))) &&
            m_errorCount < std::numeric_limits<qint32>::max())
            ++m_errorCount;
        lines << (timeStamp ? stamp() + QLatin1String(": ") + text : text);
        colours.push_back(colour);
        hold = hold && colour != PaneColour::Red && colour != PaneColour::Yellow;
    }
    // Held lines go first, with these, in the same write. Memory runs out before the two lists
    // change or not at all.
    makeRoom(m_held, size_t(lines.size()));
    makeRoom(m_heldColours, colours.size());
    m_held.append(std::move(lines));
    m_heldColours.insert(m_heldColours.end(), colours.begin(), colours.end());
    if (!hold)
        writeHeld();
}

void RunLog::writeHeld()
{
    if (m_held.isEmpty())
        return;
    // Let go only once written: a write that cannot even be made (memory ran out) leaves them
    // for the next.
    writeToFile(m_held);
    if (m_paneShown)
        trapSilently([&] { showInPane(m_held, m_heldColours); });
    m_held.clear();
    m_heldColours.clear();
}

void RunLog::writeHeldQuietly()
{
    trapSilently([&] { writeHeld(); });
}

QString RunLog::stamp()
{
    if (!m_clock.target<SystemClock>())
        return generalDateTime(m_clock());
    // A folder of many small files writes thousands of lines a second: the stamp of a second is
    // made once.
    const std::time_t now = std::time(nullptr);
    if (now != m_stampSecond || m_stamp.isEmpty()) {
        m_stampSecond = now;
        m_stamp = generalDateTime(QDateTime::fromSecsSinceEpoch(now));
    }
    return m_stamp;
}

void RunLog::writeToFile(const QStringList &lines)
{
    // The lines of one call go in with one write, whole or not at all.
    const QString text = lines.join(QLatin1String("\r\n"));
    if (m_complete)
        trap([&] { LogStream->WriteLine(text); },
             [&](const Failure &failure) { loseFile(failure.description()); });
    // One line there: a header entry's own line end is not repeated.
    if (!m_complete)
        for (const QString &line : lines)
            tellSystem(m_executableName,
                       line.endsWith(QLatin1String("\r\n")) ? line.chopped(2) : line,
                       systemLogPriorityOf(line));
}

void RunLog::loseFile(const QString &reason)
{
    if (!m_complete)
        return;
    m_complete = false;
    const QString log = m_path.isEmpty() ? QStringLiteral("the run log")
                                         : QStringLiteral("the run log ") + shownPath(m_path);
    tellSystem(
        m_executableName,
        QStringLiteral("(error) %1 cannot be written (%2); this run counts as failed and its "
                       "lines follow here")
            .arg(log, reason),
        SystemLogPriority::Error);
}

void RunLog::showInPane(const QStringList &lines, const std::vector<quint32> &colours)
{
    auto held = m_pane.lock();
    for (size_t i = 0; i < colours.size(); ++i) {
        const QString line = lines[qsizetype(i)] + QLatin1String("\r\n");
        // Cutting 6,000 characters at once holds the pane near its limit without trimming line
        // by line; the cut ends where a line does, so that no line is left in pieces.
        if (m_pane.length() > paneLimit) {
            m_pane.select(0, m_pane.lineEndAfter(paneCut - 1));
            m_pane.replaceSelection(QString());
        }
        const qsizetype end = m_pane.length();
        m_pane.select(end, 0);
        m_pane.replaceSelection(line);
        m_pane.select(end, line.size());
        m_pane.setSelectionColour(colours[i]);
    }
    held.unlock();
    m_pane.flush();
}

void RunLog::setPaneShown(bool shown)
{
    const std::lock_guard lock(m_mutex);
    m_paneShown = shown;
}

void RunLog::CloseRunLog()
{
    const std::lock_guard lock(m_mutex);
    if (!ownedElsewhere())
        writeHeldQuietly();
    if (!ownedElsewhere() && LogStream && LogStream->isOpen())
        trap([&] { LogStream->Close(); },
             [&](const Failure &failure) { loseFile(failure.description()); });
}

std::function<void(const Failure &)> logFailureIn(RunLog &log, const char *procedure)
{
    return [&log, procedure](const Failure &failure) {
        log.WriteLogLine(QStringLiteral("(error) in %1 on frmMain:").arg(QLatin1String(procedure)) +
                         failure.description());
    };
}
