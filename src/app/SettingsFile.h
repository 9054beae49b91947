#pragma once

#include "app/IniText.h"

#include <QMap>
#include <QString>
#include <QVariantMap>

// The program's per-user settings file, an INI file read as Windows reads its own (see IniText), at
// the place its user scope gives it: $XDG_CONFIG_HOME/<application>/<application>.ini.
//
// The folder and file may be borrowed (a root run with another account's XDG_CONFIG_HOME) or
// spoiled, so neither is taken on trust: the folder must be this account's and closed to others'
// writes (the account's own group aside); the file is read only when it is this account's own
// regular file that others cannot write, opened without following a link and without waiting (a
// FIFO is refused at once). It is
// written only when a value changes, as a new file put in place whole by one rename, never
// through a link nor over anything but this account's own regular file. What is refused throws
// Failure saying why; nothing is replaced then.
//
// Under it lies the computer's own settings file, sorvik.ini in SORVIK_SYSCONFDIR (/etc/sorvik),
// read the same way and under the same rules, but for its owner: root, or this account. A value
// the account's file gives wins; a key it lacks is the computer's value. Only the account's file
// is ever written.
class SettingsFile {
public:
    explicit SettingsFile(const QString &application);

    const QString &path() const { return m_path; }
    static QString systemPath();

    struct Group {
        // Found with settingValue, whatever the keys' letter case.
        QVariantMap values;
        // The file each value came from.
        QMap<QString, QString> files;
    };
    // The values of one group, by key; none when there is no file yet.
    Group readGroupFrom(const QString &group) const;
    QVariantMap readGroup(const QString &group) const { return readGroupFrom(group).values; }
    // Where the files give one of `keys` in a group other than `group` (a misspelt "[Achive]"),
    // as "Key in [Group] of path"; read as readGroupFrom reads, and refused alike.
    QStringList misplaced(const QString &group, const QStringList &keys) const;
    // Gives the keys of one group these values; the group's other keys and the other groups stay.
    // A value the computer's file already gives, and the account's file does not hold, is not
    // copied there: the account goes on following the computer's file.
    void writeGroup(const QString &group, const QVariantMap &values);

private:
    QString m_folder;
    QString m_fileName;
    QString m_path;
};
