#include "ui/QtDialogs.h"

#include "ui/WindowLook.h"

#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QScreen>

#include <algorithm>

namespace {
// A box whose owner is not on the screen yet (at start-up) is centred on the screen, not on
// where the hidden window would be.
QWidget *shownOwner(QWidget *owner)
{
    return owner && owner->isVisible() ? owner : nullptr;
}

QMessageBox *makeBox(QWidget *owner, const QString &text, MessageButtons buttons,
                     const QString &title)
{
    auto *box = new QMessageBox(shownOwner(owner));
    box->setWindowIcon(logoIcon());
    box->setIcon(QMessageBox::NoIcon);
    box->setWindowTitle(title.isEmpty() ? programTitle() : title);
    box->setText(text);
    // The box wraps its text at half a small screen: a long text, a long path in it, would make it
    // taller than the screen. Such a text gets the width it needs, within the screen.
    const QScreen *screen = box->screen() ? box->screen() : QGuiApplication::primaryScreen();
    if (auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
        label && screen) {
        const QSize room = screen->availableGeometry().size();
        const QFontMetrics metrics(label->font());
        const int wrapped = std::max(1, std::min(room.width() / 2, 500));
        const int lines = metrics.horizontalAdvance(text) / wrapped + 1;
        if ((lines + 4) * metrics.lineSpacing() > room.height() * 2 / 3)
            label->setMinimumWidth(std::min(metrics.horizontalAdvance(text), room.width() * 3 / 4));
    }
    switch (buttons) {
    case MessageButtons::OK:
        box->setStandardButtons(QMessageBox::Ok);
        break;
    case MessageButtons::YesNo:
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::Yes);
        break;
    case MessageButtons::YesNoDefaultNo:
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::No);
        break;
    case MessageButtons::OKCancel:
        box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box->setDefaultButton(QMessageBox::Ok);
        break;
    }
    return box;
}

DialogAnswer answerOf(const QMessageBox &box, int result, MessageButtons buttons)
{
    switch (result) {
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

class ProgressNotice : public BusyNotice {
public:
    explicit ProgressNotice(QProgressDialog *dialog)
        : m_dialog(dialog)
    {
    }
    // Its Cancel may be what ends the notice: the dialog goes once its signal is done.
    ~ProgressNotice() override
    {
        if (m_dialog) {
            m_dialog->disconnect();
            m_dialog->hide();
            m_dialog->deleteLater();
        }
    }

private:
    QPointer<QProgressDialog> m_dialog;
};
} // namespace

DialogAnswer QtDialogs::messageBox(const QString &text, MessageButtons buttons,
                                   const QString &title)
{
    std::unique_ptr<QMessageBox> box(makeBox(m_owner, text, buttons, title));
    const int result = box->exec();
    return answerOf(*box, result, buttons);
}

void QtDialogs::messageBoxLater(const QString &text, MessageButtons buttons, const QString &title,
                                const std::function<void(DialogAnswer)> &answered)
{
    m_later.push_back([this, text, buttons, title, answered] {
        // Window-modal and without a loop of its own: the owner takes no input, its work goes
        // on.
        QMessageBox *box = makeBox(m_owner, text, buttons, title);
        box->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(box, &QDialog::finished, box, [this, box, buttons, answered](int result) {
            m_laterShown = false;
            if (answered)
                answered(answerOf(*box, result, buttons));
            showNextLater();
        });
        m_laterShown = true;
        box->open();
    });
    showNextLater();
}

void QtDialogs::showNextLater()
{
    if (m_laterShown || m_later.empty())
        return;
    const std::function<void()> show = std::move(m_later.front());
    m_later.pop_front();
    show();
}

QString QtDialogs::inputBox(const QString &prompt, const QString &title, const QString &preset)
{
    QInputDialog box(shownOwner(m_owner));
    box.setWindowIcon(logoIcon());
    box.setWindowTitle(title.isEmpty() ? programTitle() : title);
    box.setLabelText(prompt);
    box.setTextValue(preset);
    if (auto *field = box.findChild<QLineEdit *>()) {
        field->setToolTip(prompt);
        // A path reads left to right whatever the layout.
        readLeftToRight(field);
        // Room for a whole share path, and for the title above it, within the screen.
        const QScreen *screen = box.screen() ? box.screen() : QGuiApplication::primaryScreen();
        const int room = screen ? screen->availableGeometry().width() * 9 / 10 : 1 << 15;
        QFont titleFont = box.font();
        titleFont.setBold(true);
        const int wanted =
            std::max(box.fontMetrics().averageCharWidth() * 60,
                     QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + 160);
        field->setMinimumWidth(std::min(wanted, room - 40));
    }
    return box.exec() == QDialog::Accepted ? box.textValue() : QString();
}

QString QtDialogs::browseForFolder(const QString &title, const QString &startFolder)
{
    const QString start =
        !startFolder.isEmpty() && QDir(startFolder).exists() ? startFolder : QDir::homePath();
    return QFileDialog::getExistingDirectory(m_owner, title, start, QFileDialog::ShowDirsOnly);
}

std::unique_ptr<BusyNotice> QtDialogs::showBusy(const QString &text,
                                                const std::function<void()> &cancel)
{
    auto *dialog = new QProgressDialog(text, QStringLiteral("Cancel"), 0, 0, m_owner);
    dialog->setWindowTitle(programTitle());
    dialog->setWindowIcon(logoIcon());
    dialog->setMinimumDuration(0);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    QObject::connect(dialog, &QProgressDialog::canceled, dialog, [cancel] {
        if (cancel)
            cancel();
    });
    dialog->open();
    return std::make_unique<ProgressNotice>(dialog);
}
