#pragma once

#include "platform/SystemLog.h"

#include <QString>

#include <mutex>
#include <vector>

// Colours as Windows colour values (red in the low byte), the way run-log lines are classified.
namespace PaneColour {
constexpr quint32 Black = 0;
constexpr quint32 Red = 255;
constexpr quint32 Yellow = 65535;
} // namespace PaneColour

// The colour of a run-log line: yellow with "(warning)" in it, else red with "(error)", else black.
quint32 lineColour(QStringView line);
// Whether the line holds "(error)", in any mix of case: a line the run counts as an error.
bool mentionsError(QStringView line);
// The system log's weight of a line of ours: an error where it mentions one, so that it is heard
// where errors are looked for; a warning else.
SystemLogPriority systemLogPriorityOf(QStringView line);

class LogPane;

// Whatever draws the pane. Told, on the thread that wrote, that the pane changed; it draws on its
// own thread, taking what changed with LogPane::takeChanges. Told once until it takes them.
class LogPaneView {
public:
    virtual ~LogPaneView() = default;
    virtual void paneChanged(LogPane &pane) = 0;
};

// The live run-log pane: coloured text with a selection, counted in characters exactly as they
// were given (CR LF is two). The run log works on it through the four operations a rich-text box
// offers, on whatever thread the run runs, while a view draws it on the window's.
class LogPane {
public:
    // Held while the pane is worked on with the four operations, so that a view never takes half
    // a change.
    [[nodiscard]] std::unique_lock<std::mutex> lock() const { return std::unique_lock(m_mutex); }
    // These four, with the lock held.
    qsizetype length() const { return m_text.size(); }
    void select(qsizetype start, qsizetype length);
    void replaceSelection(const QString &text);
    void setSelectionColour(quint32 colour);

    // Where the line that holds `position` ends, past its line break: how many characters go when
    // whole lines are cut from the front. With the lock held.
    qsizetype lineEndAfter(qsizetype position) const;

    // A copy of the text, and the colour at a position; each takes the lock itself.
    QString text() const;
    quint32 colourAt(qsizetype position) const;

    // From now on `view` is told of changes; it takes the whole pane first.
    void setView(LogPaneView *view);
    // Tells the view of the changes since it last took them; without the lock held.
    void flush();

    // What a view draws next: the whole lines cut from the front since it last looked (their
    // characters, and the line breaks a document counts in them: CR LF and a lone CR or LF are one
    // each), then the text (and its colours) added after what it keeps of the first `shown`
    // characters it drew. Anything else changed before that: the whole pane, fromStart.
    struct Changes {
        qsizetype trimmed = 0;
        qsizetype trimmedLines = 0;
        bool fromStart = false;
        QString text;
        std::vector<quint32> colours;
    };
    Changes takeChanges(qsizetype shown);

private:
    void changedFrom(qsizetype position);

    mutable std::mutex m_mutex;
    QString m_text;
    std::vector<quint32> m_colours;
    qsizetype m_selStart = 0;
    qsizetype m_selLength = 0;
    qsizetype m_firstChange = -1;
    qsizetype m_trimmed = 0;
    qsizetype m_trimmedLines = 0;
    LogPaneView *m_view = nullptr;
    bool m_viewTold = false;
};
