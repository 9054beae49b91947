#include "app/Program.h"

#include "app/Dialogs.h"
#include "app/Run.h"
#include "app/WindowThread.h"

#include <QFileInfo>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <utility>

Program::Program(Parts parts)
    : m_executablePath(std::move(parts.executablePath))
    , m_fileSystem(parts.fileSystem ? std::move(parts.fileSystem) : makeFileSystem())
    , m_registry(parts.registry ? std::move(parts.registry) : makeRegistry())
    , m_components(makeComponents(*m_registry))
    , m_clock(parts.clock ? std::move(parts.clock) : systemClock())
    , m_workstationSource(parts.workstationSource ? std::move(parts.workstationSource)
                                                  : makeWorkStationSource())
    , m_launcher(parts.launcher ? parts.launcher : &m_noLauncher)
    , m_interactiveDialogs(parts.interactiveDialogs ? parts.interactiveDialogs : &m_silentDialogs)
    , m_terminator(std::move(parts.terminator))
    , m_start(std::move(parts.start))
    , m_runLog(*m_fileSystem, executableName(), m_clock)
{
}

const WorkStationInfo &Program::WorkStation()
{
    if (!m_workstation)
        m_workstation.emplace(m_workstationSource);
    return *m_workstation;
}

std::unique_ptr<DiagLineFormatter> Program::createDiagLineFormatter()
{
    return requireDiagLineFormatter(*m_components);
}

std::function<void(const QString &)> Program::tellFromRun()
{
    return [window = &m_window, dialogs = m_interactiveDialogs](const QString &text) {
        const auto show = [dialogs, text] {
            dialogs->messageBoxLater(text, MessageButtons::OK, QString(), {});
        };
        if (QThread::currentThread() == window->thread())
            show();
        else
            postTo(window, show);
    };
}

QString Program::executableName() const
{
    return QFileInfo(m_executablePath).completeBaseName();
}

QString Program::programFolder() const
{
    return QFileInfo(m_executablePath).absolutePath();
}

int Program::exitStatus() const
{
    if (m_startRefused)
        return ExitStatus::StartRefused;
    // A run whose log could not be kept cannot show that nothing went wrong.
    return m_runLog.ErrorCount() > 0 || !m_runLog.complete() || LastRun.refused
               ? ExitStatus::RunFailed
               : ExitStatus::Success;
}

void Program::terminate(int status)
{
    // No destructor runs after this: the second-start socket goes now, on the thread it lives on.
    m_instance.release();
    if (m_start)
        reportProgramEnd(*this, *m_start, status);
    if (m_terminator)
        m_terminator(status);
    std::fflush(nullptr);
    std::_Exit(status);
}
