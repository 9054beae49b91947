#include "ui/LogViewer.h"

#include "app/WindowThread.h"
#include "runlog/LogPane.h"
#include "ui/RichLogView.h"
#include "ui/WindowLook.h"

#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
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

// How much of the log is read before the window shows, and then at a time: the first screen
// at once, and pieces small enough that adding one never holds the window up.
constexpr qint64 firstPiece = 64 * 1024;
constexpr qint64 piece = 256 * 1024;

// Reads the run log (UTF-16LE with a byte-order mark and CR LF line ends) piece by piece, as text
// with LF line ends: a CR LF split between two pieces stays one line end.
class RunLogPieces {
public:
    explicit RunLogPieces(const QString &path)
        : m_file(path)
    {
        m_file.open(QIODevice::ReadOnly);
    }
    // The next piece of at most `bytes` bytes; `ended` once the file is read through.
    QString next(qint64 bytes, bool &ended)
    {
        const QByteArray read = m_file.isOpen() ? m_file.read(bytes) : QByteArray();
        ended = read.size() < bytes;
        QString text = m_pendingCr + m_decode(read);
        m_pendingCr.clear();
        if (!ended && text.endsWith(QLatin1Char('\r'))) {
            text.chop(1);
            m_pendingCr = QStringLiteral("\r");
        }
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        return text;
    }

private:
    QFile m_file;
    QStringDecoder m_decode{QStringDecoder::Utf16LE};
    QString m_pendingCr;
};
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
    auto pieces = std::make_shared<RunLogPieces>(path);
    bool ended = false;
    txtLog->setPlainText(pieces->next(firstPiece, ended));
    barReading = new QProgressBar(this);
    barReading->setRange(0, 0);
    barReading->setMaximumWidth(120);
    barReading->setToolTip(QStringLiteral("The rest of the run log is being read"));
    m_readingText = new QLabel(QStringLiteral("Reading the rest of the log..."), this);

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
    buttons->addWidget(barReading);
    buttons->addWidget(m_readingText);
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

    if (ended) {
        barReading->hide();
        m_readingText->hide();
        return;
    }
    m_reader = std::thread([this, pieces] {
        for (bool last = false; !last;) {
            {
                // A few pieces ahead of the window at most: a long log is not held twice.
                std::unique_lock lock(m_mutex);
                m_handedOver.wait(lock, [&] { return m_stop || m_inTransit < 4; });
                if (m_stop)
                    return;
                ++m_inTransit;
            }
            QString text = pieces->next(piece, last);
            postTo(&m_mailbox, [this, text = std::move(text), last] { add(text, last); });
        }
    });
}

LogViewer::~LogViewer()
{
    // What it still hands over is dropped with this window.
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_handedOver.notify_all();
    if (m_reader.joinable())
        m_reader.join();
}

bool LogViewer::reading() const
{
    return !barReading->isHidden();
}

void LogViewer::add(const QString &text, bool last)
{
    {
        const std::lock_guard lock(m_mutex);
        --m_inTransit;
    }
    m_handedOver.notify_all();
    if (!text.isEmpty()) {
        // Appended without moving the reader's place or the marked problem.
        QTextCursor end(txtLog->document());
        end.movePosition(QTextCursor::End);
        end.insertText(text);
    }
    if (last) {
        barReading->hide();
        m_readingText->hide();
        if (m_reader.joinable())
            m_reader.join();
    }
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
