#pragma once

#include "shell/Dialogs.h"
#include "shell/Program.h"
#include "shell/RunHost.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <vector>

// Stands in for the end of the process in tests: EndProgram and friends throw it instead of
// ending the test program. It is no std::exception, so the program's own traps let it pass.
struct ProgramEnded {
    int status;
};

// Answers boxes from a queue (OK, Yes or the first button when it runs dry) and keeps every text.
class ScriptedDialogs : public Dialogs {
public:
    DialogAnswer messageBox(const QString &text, MessageButtons buttons = MessageButtons::OK,
                            const QString &title = QString()) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &preset) override;
    QString browseForFolder(const QString &title) override;

    std::deque<DialogAnswer> answers;
    std::deque<QString> inputs;
    std::vector<QString> texts;
};

// A main window without widgets.
class TestHost : public RunHost {
public:
    QString archiveFolderText() const override { return folder; }
    void setArchiveFolderText(const QString &text) override { folder = text; }
    void setRunning(bool on) override { running = on; }
    bool isRunning() const override { return running; }
    void setProgress(double v, double m) override {
        value = v;
        maximum = m;
    }
    void pumpEvents() override { ++pumps; }

    QString folder;
    bool running = false;
    double value = 0, maximum = 0;
    int pumps = 0;
};

// A fixture whose every test has its own temporary root: HOME, XDG_CONFIG_HOME, SORVIK_REGISTRY,
// SORVIK_CRON_DIR and TMPDIR point into it, so no test touches the machine's own files.
class TempEnvironment : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString path(const QString &relative) const { return m_root.filePath(relative); }
    QString registryPath() const { return path(QStringLiteral("registry.reg")); }
    // Writes the registry file as given.
    void writeRegistry(const QByteArray &content) const;
    // A registry file as the served product leaves it: its components (the built stand-in),
    // its logging folder and the version numbers.
    void writeServedProduct(quint32 versionNumber = 0x00040000, bool components = true) const;
    void writeFile(const QString &relative, const QByteArray &content) const;
    QByteArray readFile(const QString &relative) const;

    // A program whose executable lies in `programFolder` (created under the root).
    std::unique_ptr<Program> makeProgram(const QString &programFolder = QStringLiteral("program"));

    ScriptedDialogs dialogs;
    TestHost host;

private:
    QTemporaryDir m_root;
    std::vector<std::pair<QByteArray, QByteArray>> m_savedEnvironment;
};

QString builtFile(const QString &name);

// Readable failure messages for Qt strings.
inline void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}
