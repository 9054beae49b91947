#include "ui/HelpFile.h"

#include "app/Dialogs.h"
#include "app/Program.h"
#include "common/Failure.h"

void LaunchHelpFile(Program &program)
{
    const QString help = program.programFolder() + QStringLiteral("/Help/OrvelSorvik.htm");
    int result = 0;
    trapSilently([&] { result = qint16(program.launcher().open(help)); });
    trapSilently([&] {
        if (result == LaunchResult::NoAssociation)
            program.dialogs().messageBoxLater(
                QStringLiteral("No program is currently associated to open this file type: ") +
                    help,
                MessageButtons::OK, QString(), {});
        else if (result <= 32)
            program.dialogs().messageBoxLater(
                QStringLiteral("Unable to launch help file %1. Try opening the file manually in a "
                               "browser. Error code returned is %2")
                    .arg(help, QString::number(result)),
                MessageButtons::OK, QString(), {});
    });
}
