#include "archive/ArchiveOptionsCheck.h"

#include "app/Program.h"
#include "common/ControlText.h"

std::optional<QString> TakeArchiveOptions(Program &program)
{
    program.ArchivePassphrase.reset();
    const StoredArchiveOptions stored = LoadArchiveOptions(program, true);
    program.Options = stored.options;
    // Whether to encrypt, and whether to clean, must be known before anything is made.
    for (const ArchiveOptionProblem &problem : stored.problems)
        if (problem.stopsRuns())
            return problem.text;
    for (const ArchiveOptionProblem &problem : stored.problems)
        program.runLog().WriteLogLine(
            QStringLiteral("(error) ") + problem.text +
            QStringLiteral(" - no archive is removed from the archive folder."));
    if (stored.passphrase) {
        program.ArchivePassphrase = stored.passphrase;
        program.runLog().WriteLogLine(
            QStringLiteral("    The archive is encrypted (AES-256) with the passphrase in ") +
            shownPath(program.Options.PassphraseFile));
    }
    return std::nullopt;
}
