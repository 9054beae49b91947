#pragma once

// The built program as a scheduler or an administrator starts it, one behaviour a row: its set-up,
// command, status, what stderr and the system log say, what the run log says and what it
// delivered. Whatever the row, one place holds every side output to what happened: the archive
// read back by readers independent of the program, stderr's summary against the run log,
// last-run.json and sorvik.prom against the test's own clock readings and the archive's entries.
#include "e2e/SystemLogCatcher.h"
#include "support/OwnedFile.h"
#include "support/ProcessFixture.h"

#include <QSettings>

#include <functional>

// A row's archive whose entries are not counted.
constexpr int anyCount = -2;

struct Row {
    const char *name = "";
    QStringList simulation{};      // orvel-sim's options
    std::function<void()> setUp{}; // on top of a set-up in which a run succeeds
    QString prefix{};              // shell before the program: a variable, a ulimit, a mount
    QStringList arguments{u"/Silent"_s};
    int status = 0;
    // stderr's lines before an unattended run's summary, as patterns; "..." stands for any lines.
    QStringList told{};
    QStringList logged{}; // patterns the run log's lines match in order; none: no run log
    int entries = -1;     // in the one archive delivered; -1: none delivered
    QStringList names{};  // in the archive ("x") or not ("!x")
    QByteArray secret{};  // in no output; the archive is encrypted with it when `encrypted`
    bool encrypted = false;
    QString holdAt{}; // a run-log line at which `act` is done; none: the program held two seconds
    std::function<void(QProcess &)> act{};
    std::function<void()> ended{}; // once the program has ended, before anything is looked at
    QByteArray output{};           // how stdout begins
    // What else the row holds the run to, given everything it said.
    std::function<void(const QString &said)> after{};
};

class RunTable : public ProcessTest {
protected:
    void SetUp() override;
    // A set-up in which a run succeeds: the served product, an empty archive folder stored.
    virtual void setUpWell(const QStringList &simulation);
    // Where the rows' archives go; a share's fixture delivers there.
    virtual QString archiveFolder() const { return path("archive/"); }
    // Where a name of the archive folder lies on this computer.
    virtual QString localPath(const QString &name) const { return path(u"archive/"_s + name); }
    QStringList archiveFolderFiles() const
    {
        return QDir(localPath(QString())).entryList(QDir::Files | QDir::Hidden);
    }
    virtual QByteArray archiveBytes(const QString &name) const
    {
        return readFile(u"archive/"_s + name);
    }
    // A file or folder in the archive folder before the run, as another account leaves it.
    void plant(const QString &name, const QByteArray &content) const
    {
        ASSERT_TRUE(writeOwnedFile(localPath(name), content, 0644));
    }
    void plantFolder(const QString &name) const { QDir().mkpath(localPath(name)); }

    void check(const Row &row);
    // What an archive folder may hold before a run: the same rows locally and on a share.
    std::vector<Row> preExistingState();

    static QSettings settings()
    {
        return QSettings(QSettings::IniFormat, QSettings::UserScope, u"Sorvik"_s, u"Sorvik"_s);
    }
    std::unique_ptr<SystemLogCatcher> syslog;
};

inline const QString runHeader = u"Running Sorvik, version 1.0.1"_s;
inline const QString fileCopied = u"    File copied"_s;
