#pragma once

#include <QDateTime>
#include <QString>

#include <vector>

// One entry of a share folder as the server lists it.
struct SmbEntry {
    QString name;
    qint64 size = 0;
    QDateTime modified;
    bool folder = false;
    // The DOS attributes the server gives it (read-only 0x1, reparse point 0x400, ...).
    quint16 attributes = 0;
    // The server's number for the file (0: it gives none).
    quint64 fileId = 0;
};

// A share folder's entries, split as a local folder's are: the files a caller may read, replace
// or remove, and the names of the rest. The rest are folders and what may be a link on the
// server: an entry the server marks as a reparse point (a link or junction on Windows), and
// entries that the server shows as one file under two names (a server that follows its links,
// as Samba does, shows a link as a second name of its target). A file the server marks
// read-only is a file like any other; removing it is what refuses.
struct SmbListing {
    std::vector<SmbEntry> files;
    std::vector<QString> others;
};
SmbListing sortEntries(std::vector<SmbEntry> entries);
