#include "app/Program.h"
#include "app/SetUpCheck.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "platform/FreeSpace.h"
#include "platform/SafeFiles.h"
#include "runlog/FolderUtilities.h"

namespace {
// Less than this left, a run may not even keep its run log.
constexpr qint64 leastRoom = 1 << 20;
} // namespace

CheckLine workingFoldersCheck(Program &program)
{
    FileSystem &fs = program.fileSystem();
    const QString base = program.programFolder();
    QStringList problems;
    bool missing = false;
    for (const char *name : workingFolderNames) {
        const QString folder = base + QLatin1Char('/') + QLatin1String(name);
        const QString shown = QLatin1String(name) + QLatin1Char('/');
        bool there = false;
        QString why;
        if (!trap([&] { there = workingFolderThere(folder); },
                  [&](const Failure &failure) { why = failure.description(); }))
            problems << shown + QStringLiteral(": ") + why;
        else if (!there)
            missing = true;
        else if (!TestWriteAccess(fs, folder, &why))
            problems << withReason(shown + QStringLiteral(" takes no new file"), why);
        else if (const auto free = freeSpace(folder); free && *free < leastRoom)
            problems << shown + QStringLiteral(" has %1 left").arg(byteSize(*free));
    }
    QString why;
    if (missing && !TestWriteAccess(fs, base, &why))
        problems << withReason(QStringLiteral("the program folder takes no new folder"), why);
    if (!problems.isEmpty())
        return {false, problems.join(QStringLiteral("; ")),
                QStringLiteral("give the account that runs Sorvik the program folder %1 and "
                               "what is in it, and room there")
                    .arg(shownPath(base))};
    return {true,
            QStringLiteral("logs/, ZIPS/ and TempDiags/ in %1 take new files, or can be made")
                .arg(shownPath(base)),
            QString()};
}
