#pragma once

#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QSize>
#include <QString>

class QWidget;

// What every window of the program shares: the logo as its icon, a first size that fits the
// screen, paths that never push a window wider than the screen.

QIcon logoIcon();

// The window's starting size: the size it was designed at, grown to what its layout needs and
// cut to the space the screen has for it (the frame taken off).
QSize firstSize(QSize designed, QSize needed, QSize available);

// The size a window designed at `designed` for the usual 9 pt font takes at the window's own font:
// larger text, a larger window.
QSize designedAtFont(const QWidget *window, QSize designed);

// Gives the window the logo, its first size and a minimum size of what its layout needs (at most
// the designed size, at most the screen) so that text never clips.
void prepareWindow(QWidget *window, QSize designed);

// The window opens where it was last, as large as it was, kept in the program's settings
// (`application` names them; empty keeps nothing) under `name`; never beyond the screen.
void keepPlace(QWidget *window, const QString &application, const QString &name);

// Paths, times and dates read left to right whatever the layout: a right-to-left layout would
// show 03:15 as 15:03 and a path with its separators at the wrong end.
void readLeftToRight(QWidget *widget);

// A label that shows a long text, typically a path, elided in the middle instead of widening its
// window; text() still holds the whole text.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// A read-only path field: while it does not have the focus, a path too long for it is drawn
// elided in the middle; its tooltip says what it holds and gives the whole path.
class PathField : public QLineEdit {
    Q_OBJECT
public:
    explicit PathField(const QString &purpose, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_purpose;
};
