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
                                         QStringLiteral("correct it in Sorvik.ini"), false};
                CheckLine line;
                line.found = QStringLiteral("off (Obfuscate=false)");
                if (stored.options.Obfuscate) {
                    program.Options = stored.options;
                    line.found = RunCleaning(program, true).checkLine();
                }
                return line;
            }};
}
