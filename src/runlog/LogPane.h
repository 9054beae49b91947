#pragma once

#include <QString>

#include <vector>

// Colours as Windows colour values (red in the low byte), the way run-log lines are classified.
namespace PaneColour {
constexpr quint32 Black = 0;
constexpr quint32 Red = 255;
constexpr quint32 Yellow = 65535;
} // namespace PaneColour

// The colour of a run-log line: yellow with "(warning)" in it, else red with "(error)", else black.
quint32 lineColour(const QString &line);

class LogPane;

// Whatever draws the pane: told, after each change, from which position on the text changed.
class LogPaneView {
public:
    virtual ~LogPaneView() = default;
    virtual void paneChanged(const LogPane &pane, qsizetype firstChanged) = 0;
};

// The live run-log pane: coloured text with a selection, counted in characters exactly as they
// were given (CR LF is two). The run log works on it through the four operations a rich-text box
// offers; a view draws it.
class LogPane {
public:
    qsizetype length() const { return m_text.size(); }
    void select(qsizetype start, qsizetype length);
    void replaceSelection(const QString &text);
    void setSelectionColour(quint32 colour);

    const QString &text() const { return m_text; }
    quint32 colourAt(qsizetype position) const { return m_colours.at(size_t(position)); }

    void setView(LogPaneView *view) { m_view = view; }
    // Hands the changes since the last flush to the view.
    void flush();

private:
    void changedFrom(qsizetype position);

    QString m_text;
    std::vector<quint32> m_colours;
    qsizetype m_selStart = 0;
    qsizetype m_selLength = 0;
    qsizetype m_firstChange = -1;
    LogPaneView *m_view = nullptr;
};
