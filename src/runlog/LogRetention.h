#pragma once

#include <QDate>
#include <QString>

class FileSystem;

// Deletes every file directly in the logs folder whose last change lies more than 30 calendar
// days before `today` (local dates; times of day do not count). Read-only files go too; what
// cannot be deleted stays, silently, and the others are still examined.
void DeleteOldLogFiles(FileSystem &fs, const QString &logsFolder, const QDate &today);
