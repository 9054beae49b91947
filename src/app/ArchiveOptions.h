#pragma once

#include "platform/PassphraseFile.h"

#include <QMap>
#include <QString>

#include <memory>
#include <vector>

class Program;

// What the administrator chose for the archives, kept in the per-user settings beside the archive
// folder, in a group of their own ([Archive] in <exe>.ini). Absent values are the defaults, which
// change nothing: no encryption, no archive ever removed, nothing obfuscated.
struct ArchiveOptions {
    // The file whose first line is the passphrase the archives are encrypted with; empty: the
    // archives are not encrypted.
    QString PassphraseFile;
    // This computer's archives in the archive folder are removed once they are more than this
    // many days old; 0: never.
    int KeepDays = 0;
    // At most this many of this computer's archives are kept there; 0: no limit.
    int KeepCount = 0;
    // Every text entry of the archive and every entry's name is cleaned before it is compressed:
    // addresses, host and user names, telephone numbers, mailbox and subscriber ids get
    // stand-ins, which only this computer can turn back.
    bool Obfuscate = false;
    // A file of the site's own words that are cleaned too, one a line (a line "re:PATTERN" is a
    // pattern); empty: none.
    QString ObfuscateWords{};
    // Files that are not text but may go into a cleaned archive as they are: patterns of names
    // ("data_*.gz"), separated by blanks. Empty: none.
    QString ObfuscateSafe{};

    bool operator==(const ArchiveOptions &) const = default;
};

// The largest number KeepDays and KeepCount take.
constexpr int archiveOptionLimit = 99999;

// A stored value that cannot be read: the setting's key (such as "KeepDays") and a sentence that
// names the setting, the file and why.
struct ArchiveOptionProblem {
    QString key;
    QString text;
    // A key that is none of the group's: perhaps a misspelt PassphraseFile or Obfuscate.
    bool unknown = false;
    // A setting a run must know before it makes anything (whether to encrypt, whether to clean):
    // no archive is made while it cannot be read.
    bool stopsRuns() const
    {
        return unknown || key.compare(QLatin1String("PassphraseFile"), Qt::CaseInsensitive) == 0 ||
               key.startsWith(QLatin1String("Obfuscate"), Qt::CaseInsensitive);
    }
};

struct StoredArchiveOptions {
    // A value that cannot be read keeps its default here and has its problem below: the caller
    // decides, never a silent default.
    ArchiveOptions options;
    std::vector<ArchiveOptionProblem> problems;
    // Read when asked for and PassphraseFile names a file: the passphrase of an encrypted run.
    std::shared_ptr<const Passphrase> passphrase;
    // The settings file each stored value came from, by key.
    QMap<QString, QString> files;
    bool readable(const QString &key) const;
};

// Reads the group. When the settings file itself cannot be read, every value has a problem.
// With `passphrase`, also the passphrase from the file PassphraseFile names, as a run takes it: a
// file that cannot be used is a problem of PassphraseFile, in the reader's words.
StoredArchiveOptions LoadArchiveOptions(Program &program, bool passphrase = false);

// Writes the values that differ from what is stored (an absent value counts as its default), in
// a copy of the settings put in place whole, or not at all. Throws Failure.
void SaveArchiveOptions(Program &program, const ArchiveOptions &options);
