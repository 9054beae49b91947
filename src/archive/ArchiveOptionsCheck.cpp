#include "archive/ArchiveOptionsCheck.h"

#include "app/Program.h"

std::optional<QString> TakeArchiveOptions(Program &program)
{
    program.ArchivePassphrase.reset();
    const StoredArchiveOptions stored = LoadArchiveOptions(program);
    program.Options = stored.options;
    // Whether to encrypt, and whether to clean, must be known before anything is made.
    for (const ArchiveOptionProblem &problem : stored.problems)
        if (problem.key == QLatin1String("PassphraseFile") ||
            problem.key.startsWith(QLatin1String("Obfuscate")))
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
