#include "ui/QtDialogs.h"

#include "ui/WindowLook.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

namespace {
// A box whose owner is not on the screen yet (at start-up) is centred on the screen, not on
// where the hidden window would be.
QWidget *shownOwner(QWidget *owner)
{
    return owner && owner->isVisible() ? owner : nullptr;
}
} // namespace

DialogAnswer QtDialogs::messageBox(const QString &text, MessageButtons buttons,
                                   const QString &title)
{
    QMessageBox box(shownOwner(m_owner));
    box.setWindowIcon(logoIcon());
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
    QInputDialog box(shownOwner(m_owner));
    box.setWindowIcon(logoIcon());
    box.setWindowTitle(title.isEmpty() ? programTitle() : title);
    box.setLabelText(prompt);
    box.setTextValue(preset);
    // Room for a whole share path; the field grows with the box.
    box.setMinimumWidth(box.fontMetrics().averageCharWidth() * 60);
    if (auto *field = box.findChild<QLineEdit *>())
        field->setToolTip(prompt);
    return box.exec() == QDialog::Accepted ? box.textValue() : QString();
}

QString QtDialogs::browseForFolder(const QString &title)
{
    return QFileDialog::getExistingDirectory(m_owner, title, QString(), QFileDialog::ShowDirsOnly);
}
