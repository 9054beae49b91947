#include "ui/QtDialogs.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

DialogAnswer QtDialogs::messageBox(const QString &text, MessageButtons buttons,
                                   const QString &title)
{
    QMessageBox box(m_owner);
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(title.isEmpty() ? programTitle() : title);
    box.setText(text);
    switch (buttons) {
    case MessageButtons::OK:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case MessageButtons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        break;
    case MessageButtons::OKCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Yes:
        return DialogAnswer::Yes;
    case QMessageBox::No:
        return DialogAnswer::No;
    case QMessageBox::Cancel:
        return DialogAnswer::Cancel;
    default:
        // Closing a box that offers Cancel counts as Cancel; a lone OK box can only say OK.
        return buttons == MessageButtons::OKCancel && box.clickedButton() == nullptr
                   ? DialogAnswer::Cancel
                   : DialogAnswer::OK;
    }
}

QString QtDialogs::inputBox(const QString &prompt, const QString &title, const QString &preset)
{
    bool ok = false;
    const QString text = QInputDialog::getText(m_owner, title.isEmpty() ? programTitle() : title,
                                               prompt, QLineEdit::Normal, preset, &ok);
    return ok ? text : QString();
}

QString QtDialogs::browseForFolder(const QString &title)
{
    return QFileDialog::getExistingDirectory(m_owner, title, QString(), QFileDialog::ShowDirsOnly);
}
