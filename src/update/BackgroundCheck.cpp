#include "update/BackgroundCheck.h"

#include "app/Program.h"
#include "common/Failure.h"
#include "common/Version.h"

#include <QProcess>

void checkForUpdatedVersion_Background(Program &program, const QString &address)
{
    trapSilently([&] {
        const QString script = program.programFolder() + QStringLiteral("/test.bat");
        if (!program.fileSystem().FileExists(script))
            return;
        QProcess::startDetached(QStringLiteral("/bin/sh"), {script, versionText(), address},
                                program.programFolder());
    });
}
