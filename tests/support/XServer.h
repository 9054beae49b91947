#pragma once

// A private X server (Xvfb) with a window manager (openbox), where a window meets what an
// administrator's desktop does to it; driven by xdotool.
#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <mutex>

class XServer {
public:
    // The tool this machine lacks for it; empty when all are there.
    static QString missing()
    {
        for (const char *tool : {"Xvfb", "openbox", "xdotool"})
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                return QLatin1String(tool);
        return QString();
    }

    XServer()
    {
        ownedByTest(m_server);
        // The server picks a free display and says which on the descriptor named. One at a time:
        // two started at once can both take the display of one killed before, and the second
        // then ends ("server already running") after it named the display.
        static std::mutex starting;
        const std::lock_guard one(starting);
        m_server.start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, u"1280x800x24"_s,
                                   u"-nolisten"_s, u"tcp"_s});
        if (m_server.waitForReadyRead(30000))
            m_display = u":"_s + QString::fromLatin1(m_server.readLine().trimmed());
        ownedByTest(m_manager);
        m_manager.setProcessEnvironment(environment());
        m_manager.start(u"openbox"_s, {});
        // Ready once the manager manages: a window shown before it is not found by its title.
        QElapsedTimer waited;
        waited.start();
        while (xdotool({u"get_num_desktops"_s}).toInt() < 1 && waited.elapsed() < 30000)
            QThread::msleep(20);
    }
    ~XServer()
    {
        for (QProcess *process : {&m_manager, &m_server}) {
            process->kill();
            process->waitForFinished(10000);
        }
    }

    // The system's environment, with this display.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DISPLAY"_s, m_display);
        env.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        return env;
    }

    // The first shown window of that title, waited for at most `ms`; empty when none came.
    QString window(const QString &title, int ms = 60000) const
    {
        QElapsedTimer waited;
        waited.start();
        do {
            const QString found =
                xdotool({u"search"_s, u"--onlyvisible"_s, u"--name"_s, u"^"_s + title + u"$"_s})
                    .section(u'\n', 0, 0);
            if (!found.isEmpty())
                return found;
            QThread::msleep(50);
        } while (waited.elapsed() < ms);
        return QString();
    }

    // Keys as a person types them, into `window` once it is the active one, again every second
    // until `done` (a window that has only just come may not take them yet); false when it never
    // was, within a minute.
    bool type(const QString &window, const QString &keys, const std::function<bool()> &done) const
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 60000) {
            xdotool({u"windowactivate"_s, u"--sync"_s, window});
            xdotool({u"key"_s, u"--window"_s, window, keys});
            for (int i = 0; i < 50; ++i, QThread::msleep(20))
                if (done())
                    return true;
        }
        return false;
    }

private:
    QString xdotool(const QStringList &arguments) const
    {
        QProcess tool;
        tool.setProcessEnvironment(environment());
        tool.start(u"xdotool"_s, arguments);
        tool.waitForFinished(30000);
        return QString::fromLatin1(tool.readAllStandardOutput()).trimmed();
    }

    QProcess m_server;
    QProcess m_manager;
    QString m_display;
};
