// Why a local path names no folder, in words for the administrator: what the layer's lastProblem()
// adds to "does not exist".
#include "platform/FileSystem.h"

#include "common/ControlText.h"

#include <cerrno>
#include <sys/stat.h>

QString FileSystem::localFolderProblem(const QString &path)
{
    QByteArray native = nativePath(path);
    if (native.isEmpty())
        return QString();
    struct stat st;
    const bool there = ::stat(native.constData(), &st) == 0;
    const int error = errno;
    // Its own name, as typed with or without a closing separator, is what is or is not there.
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    struct stat own;
    if (!there && error == ENOENT)
        return ::lstat(native.constData(), &own) == 0 && S_ISLNK(own.st_mode)
                   ? QStringLiteral("'%1' is a link to nothing").arg(shownPath(path))
                   : QString();
    if (!there && !(error == ENOTDIR && ::stat(native.constData(), &own) == 0))
        return FileSystemError(error, QStringLiteral("Cannot reach folder"), path).description();
    const mode_t mode = there ? st.st_mode : own.st_mode;
    if (S_ISDIR(mode))
        return QString();
    return (S_ISREG(mode) ? QStringLiteral("'%1' is a file, not a folder")
                          : QStringLiteral("'%1' is not a folder"))
        .arg(shownPath(path));
}
