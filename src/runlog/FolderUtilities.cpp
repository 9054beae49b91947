#include "runlog/FolderUtilities.h"

#include "common/Failure.h"
#include "platform/FileSystem.h"
#include "runlog/LineCleaner.h"

bool TestWriteAccess(FileSystem &fs, const QString &folder)
{
    const QString probe = folder + QStringLiteral("/temp.test.txt");
    bool created = false;
    trapSilently([&] {
        fs.CreateTextFile(probe, true, false)->Close();
        created = true;
    });
    if (created)
        trapSilently([&] { fs.DeleteFile(probe, true); });
    return created;
}

void CreateOrEmptyFolder(FileSystem &fs, const QString &folder)
{
    if (folder.isEmpty())
        return;
    if (fs.FolderExists(folder)) {
        trapSilently([&] {
            for (const File &file : fs.GetFolder(folder).Files)
                trapSilently([&] { fs.DeleteFile(file.Path(), true); });
        });
    } else {
        trapSilently([&] { fs.CreateFolder(folder); });
    }
}

QString TrimLeadingControlChars(const QString &text)
{
    QString cleaned;
    LineCleaner().feed(text, [&](QStringView kept) { cleaned += kept; });
    return cleaned;
}
