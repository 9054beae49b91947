#include "ui/WindowLook.h"

#include <QApplication>
#include <QLayout>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>

// The pictures are compiled into this static library, which the linker keeps only when asked.
static void loadPictures()
{
    Q_INIT_RESOURCE(resources);
}

QIcon logoIcon()
{
    loadPictures();
    return QIcon(QStringLiteral(":/resources/logo.png"));
}

QSize firstSize(QSize designed, QSize needed, QSize available)
{
    return designed.expandedTo(needed).boundedTo(available);
}

void prepareWindow(QWidget *window, QSize designed)
{
    window->setWindowIcon(logoIcon());
    const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    // Title bar and borders are not known before the window is shown; this leaves room for them.
    const QSize available =
        screen ? screen->availableGeometry().size() - QSize(16, 48) : QSize(designed);
    const QSize needed = window->layout() ? window->layout()->totalMinimumSize() : QSize();
    window->setMinimumSize(needed.boundedTo(available));
    window->resize(firstSize(designed, needed, available));
}

QSize ElidedLabel::sizeHint() const
{
    return minimumSizeHint();
}

QSize ElidedLabel::minimumSizeHint() const
{
    const QMargins m = contentsMargins();
    return QSize(fontMetrics().horizontalAdvance(QStringLiteral("/a\u2026b/")),
                 fontMetrics().height()) +
           QSize(m.left() + m.right() + 2 * margin(), m.top() + m.bottom() + 2 * margin());
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect room = contentsRect().marginsRemoved(QMargins(margin(), 0, margin(), 0));
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, room.width());
    style()->drawItemText(&painter, room, int(alignment()), palette(), isEnabled(), shown,
                          foregroundRole());
}

PathField::PathField(const QString &purpose, QWidget *parent)
    : QLineEdit(parent)
    , m_purpose(purpose)
{
    setReadOnly(true);
    setToolTip(purpose);
    connect(this, &QLineEdit::textChanged, this, [this](const QString &path) {
        setToolTip(path.isEmpty() ? m_purpose : m_purpose + QLatin1Char('\n') + path);
    });
}

void PathField::paintEvent(QPaintEvent *event)
{
    QStyleOptionFrame panel;
    initStyleOption(&panel);
    const QRect room = style()
                           ->subElementRect(QStyle::SE_LineEditContents, &panel, this)
                           .marginsRemoved(QMargins(2, 0, 2, 0));
    if (hasFocus() || fontMetrics().horizontalAdvance(text()) <= room.width()) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, room.width());
    style()->drawItemText(&painter, room, Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(),
                          shown, QPalette::Text);
}
