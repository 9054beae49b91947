#include "ui/LogViewer.h"

#include "runlog/LogPane.h"
#include "ui/RichLogView.h"
#include "ui/WindowLook.h"

#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QStringDecoder>
#include <QSyntaxHighlighter>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {
// Colours a line when it is drawn, so that a long log costs nothing up front.
class ProblemHighlighter : public QSyntaxHighlighter {
public:
    using QSyntaxHighlighter::QSyntaxHighlighter;

protected:
    void highlightBlock(const QString &text) override
    {
        const quint32 colour = lineColour(text);
        if (colour != PaneColour::Black)
            setFormat(0, int(text.size()), drawnColour(colour));
    }
};

// The run log is UTF-16LE with a byte-order mark and CR LF line ends.
QString readRunLog(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QStringDecoder decode(QStringDecoder::Utf16LE);
    QString text = decode(file.readAll());
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}
} // namespace

LogViewer::LogViewer(const QString &path, QWidget *parent, const QString &application)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Run log ") + QFileInfo(path).fileName());
    txtLog = new QPlainTextEdit(this);
    txtLog->setReadOnly(true);
    txtLog->setToolTip(QStringLiteral("The run log of the archive run, read-only: F3 goes to the "
                                      "next problem, Shift+F3 to the one before"));
    // Its lines begin with the date and time and carry paths.
    readLeftToRight(txtLog);
    txtLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtLog->setUndoRedoEnabled(false);
    new ProblemHighlighter(txtLog->document());
    txtLog->setPlainText(readRunLog(path));

    cmdPrevious = new QPushButton(QStringLiteral("&Previous problem"), this);
    cmdPrevious->setToolTip(
        QStringLiteral("Go to the line marked (error) or (warning) before this one (Shift+F3)"));
    cmdNext = new QPushButton(QStringLiteral("&Next problem"), this);
    cmdNext->setToolTip(QStringLiteral("Go to the next line marked (error) or (warning) (F3)"));
    cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setToolTip(QStringLiteral("Close the run log"));
    cmdClose->setDefault(true);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(cmdPrevious);
    buttons->addWidget(cmdNext);
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(txtLog, 1);
    layout->addLayout(buttons);
    prepareWindow(this, QSize(800, 500));
    keepPlace(this, application, QStringLiteral("LogViewer"));

    connect(cmdPrevious, &QPushButton::clicked, this, [this] { findProblem(false); });
    connect(cmdNext, &QPushButton::clicked, this, [this] { findProblem(true); });
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(new QShortcut(QKeySequence(Qt::Key_F3), this), &QShortcut::activated, this,
            [this] { findProblem(true); });
    connect(new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), this), &QShortcut::activated, this,
            [this] { findProblem(false); });
    txtLog->setFocus();
}

bool LogViewer::findProblem(bool forward)
{
    static const QRegularExpression problem(QStringLiteral("\\((error|warning)\\)"),
                                            QRegularExpression::CaseInsensitiveOption);
    // From the edge of the current line, so that its own marker is not found again.
    QTextCursor from = txtLog->textCursor();
    from.movePosition(forward ? QTextCursor::EndOfBlock : QTextCursor::StartOfBlock);
    QTextCursor found = txtLog->document()->find(
        problem, from, forward ? QTextDocument::FindFlags() : QTextDocument::FindBackward);
    if (found.isNull())
        return false;
    found.movePosition(QTextCursor::StartOfBlock);
    txtLog->setTextCursor(found);
    txtLog->centerCursor();
    // The whole line is marked, as a found line is in an editor.
    QTextEdit::ExtraSelection mark;
    mark.cursor = found;
    mark.format.setBackground(txtLog->palette().color(QPalette::Highlight));
    mark.format.setForeground(txtLog->palette().color(QPalette::HighlightedText));
    mark.format.setProperty(QTextFormat::FullWidthSelection, true);
    txtLog->setExtraSelections({mark});
    return true;
}
