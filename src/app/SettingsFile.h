#pragma once

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
class SettingsFile {
public:
    explicit SettingsFile(const QString &application);

    const QString &path() const { return m_path; }

    // The values of one group, by key; none when there is no file yet.
    QVariantMap readGroup(const QString &group) const;
    // Gives the keys of one group these values; the group's other keys and the other groups stay.
    void writeGroup(const QString &group, const QVariantMap &values);

private:
    QString m_folder;
    QString m_fileName;
    QString m_path;
};
