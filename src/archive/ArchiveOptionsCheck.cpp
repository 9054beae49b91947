#include "archive/ArchiveOptionsCheck.h"

#include "app/Run.h"

std::optional<QString> TakeArchiveOptions(Run &program)
{
    program.ArchivePassphrase.reset();
    const StoredArchiveOptions &stored = program.StoredOptions;
    program.Options = stored.options;
    // Whether to encrypt must be known before anything is made.
    for (const ArchiveOptionProblem &problem : stored.problems)
        if (problem.key == QLatin1String("PassphraseFile"))
            return problem.text;
    for (const ArchiveOptionProblem &problem : stored.problems)
        program.runLog().WriteLogLine(
            QStringLiteral("(error) ") + problem.text +
            QStringLiteral(" - no archive is removed from the archive folder."));
    if (!program.Options.PassphraseFile.isEmpty()) {
        try {
            program.ArchivePassphrase = readPassphraseFile(program.Options.PassphraseFile);
        } catch (const Failure &failure) {
            return failure.description();
        }
        program.runLog().WriteLogLine(
            QStringLiteral("    The archive is encrypted (AES-256) with the passphrase in ") +
            program.Options.PassphraseFile);
    }
    return std::nullopt;
}
