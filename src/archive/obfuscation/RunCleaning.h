#pragma once

#include "archive/EntryTransform.h"

#include <QByteArrayView>
#include <QRegularExpression>
#include <QString>

#include <array>
#include <memory>
#include <mutex>
#include <vector>

class File;
class Program;
class RunLog;

namespace obfuscation {
class Obfuscator;
class StandInMap;
struct EntryCounts;
} // namespace obfuscation

// The cleaning of one archive run whose options say Obfuscate: every text entry and every
// entry's name gets stand-ins for its identifiers, on the compression workers, before it is
// compressed.
//
// Kept in the settings folder, private to the account (mode 0600, never through a link, never
// another account's file): the secret the stand-ins are drawn with ("obfuscation.key", made the
// first time) and every stand-in given with its value ("obfuscation.map"): the same value gets
// the same stand-in in every run, and --reveal gives the values back. Neither goes into an
// archive.
class RunCleaning {
public:
    // Throws Failure saying why the run cannot be cleaned: then no archive is made. Makes the
    // secret when there is none yet, unless `check` (the set-up check changes nothing).
    explicit RunCleaning(Program &program, bool check = false);
    ~RunCleaning();

    // The line the run log begins the cleaning with.
    QString startLine() const;
    // What the set-up check says of it.
    QString checkLine() const;

    // What a file holds, by the first 64 KiB of it: text, bytes that are not text (a zero
    // byte, or more than one in a hundred control characters other than tab, line breaks, form
    // feed and escape), or text in an encoding that cannot be cleaned byte by byte (it begins
    // with a byte-order mark of UTF-16 or UTF-32).
    enum class Content { Text, Binary, Undecodable };
    static Content contentOf(QByteArrayView head);
    // The same for a file; throws Failure when it cannot be read.
    static Content contentOf(const File &file);
    static Content contentOf(const QString &path);
    // Whether the administrator listed a file that is not text as safe to archive as it is.
    bool listedAsSafe(const QString &fileName) const;

    // The entry's name in the archive. Throws Failure when it cannot be cleaned.
    QString entryName(const QString &name);
    // What cleans an entry's content; `path` is what the run log calls it.
    std::shared_ptr<EntryTransform> transformFor(const QString &path, const QString &entryName);
    // After the archive is written: a line for every entry cleaned and archived, in order.
    void report(RunLog &log) const;
    // Keeps the stand-ins given in this run. Throws Failure when they cannot be kept: their
    // archive could never be read back, and must not be delivered.
    void keep();

    // Where the settings folder keeps the secret and the stand-ins.
    static QString keyPath(Program &program);
    static QString mapPath(Program &program);

private:
    class Transform;
    // What the run log says of an entry cleaned and archived.
    struct Record {
        QString path;
        // Empty when it is the file's own name.
        QString entry;
        std::array<quint32, 9> counts;
    };
    QString m_folder;
    bool m_keyMissing = false;
    int m_siteWords = 0;
    std::vector<QRegularExpression> m_safe;
    std::shared_ptr<obfuscation::StandInMap> m_map;
    std::shared_ptr<obfuscation::Obfuscator> m_obfuscator;
    mutable std::mutex m_mutex;
    std::vector<Record> m_records;
};
