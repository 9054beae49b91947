#include "archive/ArchiveOptionsCheck.h"

#include "app/Run.h"
#include "common/ControlText.h"

std::optional<QString> TakeArchiveOptions(Run &run)
{
    run.ArchivePassphrase.reset();
    const StoredArchiveOptions &stored = run.StoredOptions;
    run.Options = stored.options;
    // Whether to encrypt, and whether to clean, must be known before anything is made.
    for (const ArchiveOptionProblem &problem : stored.problems)
        if (problem.stopsRuns())
            return problem.text;
    for (const ArchiveOptionProblem &problem : stored.problems)
        run.runLog().WriteLogLine(
            QStringLiteral("(error) ") + problem.text +
            QStringLiteral(" - no archive is removed from the archive folder."));
    if (stored.passphrase) {
        run.ArchivePassphrase = stored.passphrase;
        run.runLog().WriteLogLine(
            QStringLiteral("    The archive is encrypted (AES-256) with the passphrase in ") +
            shownPath(run.Options.PassphraseFile));
    }
    return std::nullopt;
}
