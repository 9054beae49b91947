#pragma once

#include "app/Dialogs.h"

#include <QPointer>
#include <QWidget>

#include <deque>

// The real boxes, modal over their owner window. Boxes that do not wait for their answer come one
// after the other: the next shows once the one before is answered.
class QtDialogs : public Dialogs {
public:
    void setOwner(QWidget *owner) { m_owner = owner; }

    DialogAnswer messageBox(const QString &text, MessageButtons buttons = MessageButtons::OK,
                            const QString &title = QString()) override;
    void messageBoxLater(const QString &text, MessageButtons buttons, const QString &title,
                         const std::function<void(DialogAnswer)> &answered) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &preset) override;
    QString browseForFolder(const QString &title, const QString &startFolder) override;
    std::unique_ptr<BusyNotice> showBusy(const QString &text,
                                         const std::function<void()> &cancel) override;

private:
    void showNextLater();

    QPointer<QWidget> m_owner;
    std::deque<std::function<void()>> m_later;
    bool m_laterShown = false;
};
