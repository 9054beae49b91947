#include "archive/obfuscation/CleaningCheck.h"

#include "app/ArchiveOptions.h"
#include "app/Program.h"
#include "archive/obfuscation/RunCleaning.h"

SetUpCheck cleaningCheck(Program &program)
{
    return {QStringLiteral("obfuscation"), [&program] {
                const StoredArchiveOptions stored = LoadArchiveOptions(program);
                for (const ArchiveOptionProblem &problem : stored.problems)
                    if (problem.key.startsWith(QLatin1String("Obfuscate")))
                        return CheckLine{false, problem.text,
                                         QStringLiteral("correct it in Sorvik.ini")};
                if (!stored.options.Obfuscate)
                    return CheckLine{true, QStringLiteral("off (Obfuscate=false)")};
                program.Options = stored.options;
                const RunCleaning cleaning(program, true);
                return CheckLine{true, cleaning.checkLine()};
            }};
}
