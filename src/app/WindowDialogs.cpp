#include "app/WindowDialogs.h"

#include "app/WindowThread.h"

WindowDialogs::WindowDialogs(Dialogs &dialogs, std::function<bool()> cancelled)
    : m_dialogs(dialogs)
    , m_cancelled(std::move(cancelled))
{
}

DialogAnswer WindowDialogs::messageBox(const QString &text, MessageButtons buttons,
                                       const QString &title)
{
    Dialogs *dialogs = &m_dialogs;
    return callOn<DialogAnswer>(
        &m_window, [=] { return dialogs->messageBox(text, buttons, title); }, m_cancelled);
}

void WindowDialogs::messageBoxLater(const QString &text, MessageButtons buttons,
                                    const QString &title,
                                    const std::function<void(DialogAnswer)> &answered)
{
    if (QThread::currentThread() == m_window.thread()) {
        m_dialogs.messageBoxLater(text, buttons, title, answered);
        return;
    }
    Dialogs *dialogs = &m_dialogs;
    postTo(&m_window, [=] { dialogs->messageBoxLater(text, buttons, title, answered); });
}

QString WindowDialogs::inputBox(const QString &prompt, const QString &title, const QString &preset)
{
    Dialogs *dialogs = &m_dialogs;
    return callOn<QString>(
        &m_window, [=] { return dialogs->inputBox(prompt, title, preset); }, m_cancelled);
}

QString WindowDialogs::browseForFolder(const QString &title, const QString &startFolder)
{
    Dialogs *dialogs = &m_dialogs;
    return callOn<QString>(
        &m_window, [=] { return dialogs->browseForFolder(title, startFolder); }, m_cancelled);
}

namespace {
// A notice made on the window's thread goes there too.
class NoticeOnWindow : public BusyNotice {
public:
    NoticeOnWindow(QObject *window, std::shared_ptr<BusyNotice> notice)
        : m_window(window)
        , m_notice(std::move(notice))
    {
    }
    ~NoticeOnWindow() override
    {
        postTo(m_window, [notice = std::move(m_notice)]() mutable { notice.reset(); });
    }

private:
    QObject *m_window;
    std::shared_ptr<BusyNotice> m_notice;
};
} // namespace

std::unique_ptr<BusyNotice> WindowDialogs::showBusy(const QString &text,
                                                    const std::function<void()> &cancel)
{
    if (QThread::currentThread() == m_window.thread())
        return m_dialogs.showBusy(text, cancel);
    Dialogs *dialogs = &m_dialogs;
    std::shared_ptr<BusyNotice> notice = callOn<std::shared_ptr<BusyNotice>>(
        &m_window, [=] { return std::shared_ptr<BusyNotice>(dialogs->showBusy(text, cancel)); },
        m_cancelled);
    if (!notice)
        return nullptr;
    return std::make_unique<NoticeOnWindow>(&m_window, std::move(notice));
}
