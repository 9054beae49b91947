#include "app/Run.h"

#include "app/Program.h"
#include "app/RunOutcome.h"
#include "common/Failure.h"

#include "orvel_components.h"

#include <utility>

void endRun(RunEnd::Kind kind, const QString &message)
{
    throw RunEnds{{kind, message}};
}

void stopIfCancelled(const Run &run)
{
    if (run.cancelRequested())
        throw RunCancelled{};
}

std::unique_ptr<DiagLineFormatter> requireDiagLineFormatter(Components &components)
{
    std::unique_ptr<DiagLineFormatter> formatter = components.createDiagLineFormatter();
    if (!formatter)
        throw Failure(429,
                      QStringLiteral("The diagnostic line formatter of Orvel cannot be created "
                                     "(class %1 is not registered or cannot be loaded)")
                          .arg(QLatin1String(ORVEL_DIAG_FORMATTER_CLSID)));
    return formatter;
}

Run::Run(Program &program)
    : SilentMode(program.SilentMode)
    , ArchiveFolderUnread(program.ArchiveFolderUnread)
    , StoredOptions(LoadArchiveOptions(program, true))
    , FormatTimeLimit(program.FormatTimeLimit)
    , m_executableName(program.executableName())
    , m_programFolder(program.programFolder())
    , m_clock(program.clock())
    , m_workstation(program.WorkStation())
    , m_fs(program.fileSystem())
    , m_runLog(program.runLog())
    , m_registry(makeRegistry())
    , m_components(makeComponents(*m_registry))
    , m_tell(program.tellFromRun())
{
}

Run::~Run() = default;

void Run::tell(const QString &text)
{
    // Only failures are told: heard where errors are looked for.
    if (SilentMode)
        tellRefusal(text);
    else
        m_tell(text);
}

DiagLineFormatter &Run::diagLineFormatter()
{
    if (!m_diagLineFormatter)
        m_diagLineFormatter = createDiagLineFormatter();
    return *m_diagLineFormatter;
}

std::unique_ptr<DiagLineFormatter> Run::createDiagLineFormatter()
{
    return requireDiagLineFormatter(*m_components);
}

RunFiles Run::runFiles()
{
    return {m_fs,
            m_programFolder,
            m_executableName,
            m_clock,
            [this] { return m_workstation.ComputerName(); },
            [this](const QString &text) { tell(text); }};
}

void Run::addRunTemporaries(const QString &prefix)
{
    const std::lock_guard lock(m_temporariesMutex);
    m_temporaries << prefix;
}

void Run::removeRunTemporaries()
{
    QStringList prefixes;
    {
        const std::lock_guard lock(m_temporariesMutex);
        prefixes = std::exchange(m_temporaries, {});
    }
    for (const QString &prefix : prefixes) {
        const qsizetype slash = prefix.lastIndexOf(QLatin1Char('/'));
        const QString folder = prefix.left(slash);
        const QString start = prefix.mid(slash + 1);
        trapSilently([&] {
            for (const File &file : m_fs.GetFolder(folder).Files)
                if (file.Name().startsWith(start))
                    trapSilently([&] { file.Delete(true); });
        });
    }
}
