#include "ui/LogViewer.h"

#include "runlog/LogPane.h"
#include "ui/RichLogView.h"

#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QStringDecoder>
#include <QSyntaxHighlighter>
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

LogViewer::LogViewer(const QString &path, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QFileInfo(path).fileName());
    txtLog = new QPlainTextEdit(this);
    txtLog->setReadOnly(true);
    txtLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtLog->setUndoRedoEnabled(false);
    new ProblemHighlighter(txtLog->document());
    txtLog->setPlainText(readRunLog(path));

    cmdPrevious = new QPushButton(QStringLiteral("&Previous problem"), this);
    cmdNext = new QPushButton(QStringLiteral("&Next problem"), this);
    cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setDefault(true);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(cmdPrevious);
    buttons->addWidget(cmdNext);
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(txtLog, 1);
    layout->addLayout(buttons);
    resize(800, 500);

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
    return true;
}
