#include "archive/obfuscation/CleaningCheck.h"

#include "app/ArchiveOptions.h"
#include "app/Program.h"
#include "archive/obfuscation/RunCleaning.h"
#include "common/Failure.h"

SetUpCheck cleaningCheck(Program &program)
{
    return {QStringLiteral("obfuscation"), [&program] {
                const StoredArchiveOptions stored = LoadArchiveOptions(program);
                for (const ArchiveOptionProblem &problem : stored.problems)
                    if (problem.key.startsWith(QLatin1String("Obfuscate")))
                        return CheckLine{false, problem.text,
                                         QStringLiteral("correct it in Sorvik.ini"), false};
                CheckLine line;
                line.found = QStringLiteral("off (Obfuscate=false)");
                if (stored.options.Obfuscate) {
                    try {
                        line.found = RunCleaning(program.executableName(), stored.options,
                                                 program.WorkStation(), program.registry(), true)
                                         .checkLine();
                    } catch (const Failure &failure) {
                        return CheckLine{false, failure.description(),
                                         QStringLiteral("mend it (this account's own file, mode "
                                                        "0600, one name, not a link) or set "
                                                        "Obfuscate=false; until then no run "
                                                        "makes an archive"),
                                         false};
                    }
                }
                return line;
            }};
}
