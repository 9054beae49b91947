#pragma once

#include "app/Dialogs.h"

#include <QPointer>
#include <QWidget>

// The real boxes, modal over their owner window.
class QtDialogs : public Dialogs {
public:
    void setOwner(QWidget *owner) { m_owner = owner; }

    DialogAnswer messageBox(const QString &text, MessageButtons buttons = MessageButtons::OK,
                            const QString &title = QString()) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &preset) override;
    QString browseForFolder(const QString &title) override;

private:
    QPointer<QWidget> m_owner;
};
