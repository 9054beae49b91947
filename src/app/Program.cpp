#include "app/Program.h"

#include "app/Dialogs.h"
#include "common/Failure.h"

#include "orvel_components.h"

#include <QFileInfo>

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
    , m_windowLauncher(*m_launcher, [this] { return cancelRequested(); })
    , m_interactiveDialogs(parts.interactiveDialogs ? parts.interactiveDialogs : &m_silentDialogs)
    , m_windowDialogs(*m_interactiveDialogs, [this] { return cancelRequested(); })
    , m_terminator(std::move(parts.terminator))
    , m_runLog(*m_fileSystem, executableName(), m_clock)
{
}

const WorkStationInfo &Program::WorkStation()
{
    if (!m_workstation)
        m_workstation.emplace(m_workstationSource);
    return *m_workstation;
}

RunFiles Program::runFiles()
{
    return {*m_fileSystem,
            programFolder(),
            executableName(),
            m_clock,
            [this] { return WorkStation().ComputerName(); },
            [this](const QString &text) { dialogs().messageBox(text); }};
}

DiagLineFormatter &Program::diagLineFormatter()
{
    if (!m_diagLineFormatter)
        m_diagLineFormatter = createDiagLineFormatter();
    return *m_diagLineFormatter;
}

std::unique_ptr<DiagLineFormatter> Program::createDiagLineFormatter()
{
    std::unique_ptr<DiagLineFormatter> formatter = m_components->createDiagLineFormatter();
    if (!formatter)
        throw Failure(429,
                      QStringLiteral("The diagnostic line formatter of Orvel cannot be created "
                                     "(class %1 is not registered or cannot be loaded)")
                          .arg(QLatin1String(ORVEL_DIAG_FORMATTER_CLSID)));
    return formatter;
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
    return m_runLog.ErrorCount() > 0 || !m_runLog.complete() ? ExitStatus::RunFailed
                                                             : ExitStatus::Success;
}

void Program::removeRunTemporaries()
{
    if (m_runStop)
        trapSilently(std::exchange(m_runStop, {}));
    for (const QString &prefix : std::exchange(m_runTemporaries, {})) {
        const qsizetype slash = prefix.lastIndexOf(QLatin1Char('/'));
        const QString folder = prefix.left(slash);
        const QString start = prefix.mid(slash + 1);
        trapSilently([&] {
            for (const File &file : m_fileSystem->GetFolder(folder).Files)
                if (file.Name().startsWith(start))
                    trapSilently([&] { m_fileSystem->DeleteFile(file.Path(), true); });
        });
    }
}

void Program::terminate(int status)
{
    // No destructor runs after this: the second-start socket goes now.
    m_instance.release();
    if (m_terminator)
        m_terminator(status);
    std::_Exit(status);
}
