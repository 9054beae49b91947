#include "runlog/LogRetention.h"

#include "common/Failure.h"
#include "platform/FileSystem.h"

namespace {
constexpr qint64 ageLimitDays = 30;
}

void DeleteOldLogFiles(FileSystem &fs, const QString &logsFolder, const QDate &today)
{
    trapSilently([&] {
        if (!fs.FolderExists(logsFolder))
            return;
        // The listing is taken whole before anything is deleted, so no deletion can make the
        // sweep skip a file.
        for (const File &file : fs.GetFolder(logsFolder).Files) {
            const qint64 age = file.DateLastModified().toLocalTime().date().daysTo(today);
            if (age > ageLimitDays)
                trapSilently([&] { file.Delete(true); });
        }
    });
}
