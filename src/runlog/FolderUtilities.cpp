#include "runlog/FolderUtilities.h"

#include "common/Failure.h"
#include "runlog/FileSystem.h"

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
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    while (begin < end) {
        const char16_t c = text.at(begin).unicode();
        if (c != 0 && c != '\t' && c != '\n' && c != '\r')
            break;
        ++begin;
    }
    return text.mid(begin, end - begin);
}
