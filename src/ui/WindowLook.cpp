#include "ui/WindowLook.h"

#include "app/ArchiveFolderSetting.h"
#include "common/Failure.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetricsF>
#include <QLayout>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTimer>

#include <algorithm>

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

QSize designedAtFont(const QWidget *window, QSize designed)
{
    QFont usual = window->font();
    usual.setPointSizeF(9);
    const qreal scale =
        QFontMetricsF(window->font()).height() / std::max<qreal>(1, QFontMetricsF(usual).height());
    return scale > 1 ? (QSizeF(designed) * scale).toSize() : designed;
}

namespace {
// Title bar and borders are not known before the window is shown; this leaves room for them.
QRect roomOf(const QWidget *window)
{
    const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1 << 15, 1 << 15);
    return available.adjusted(0, 0, -16, -48);
}
} // namespace

void prepareWindow(QWidget *window, QSize designed)
{
    window->setWindowIcon(logoIcon());
    const QSize available = roomOf(window).size();
    const QSize needed = window->layout() ? window->layout()->totalMinimumSize() : QSize();
    window->setMinimumSize(needed.boundedTo(available));
    window->resize(firstSize(designedAtFont(window, designed), needed, available));
}

namespace {
// Restores a window's place once and stores it whenever the window has come to rest.
class PlaceKeeper : public QObject {
public:
    PlaceKeeper(QWidget *window, QString application, QString name)
        : QObject(window)
        , m_window(window)
        , m_application(std::move(application))
        , m_key(QStringLiteral("WindowPlaces/") + name)
    {
        // A window dragged about is stored once it has stopped, not at every step.
        m_rest.setSingleShot(true);
        m_rest.setInterval(400);
        connect(&m_rest, &QTimer::timeout, this, &PlaceKeeper::store);
        restore();
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_window)
            return false;
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
            if (m_window->isVisible())
                m_rest.start();
            break;
        case QEvent::Hide:
            m_rest.stop();
            store();
            break;
        case QEvent::Show:
            // Its layout may have grown it for this font since it was put in its place.
            keepWhole();
            break;
        default:
            break;
        }
        return false;
    }

private:
    void restore()
    {
        QVariantMap kept;
        trapSilently([&] { kept = loadSetting(m_application, m_key, QVariantMap()).toMap(); });
        const QSize fresh = m_window->size();
        if (!m_window->restoreGeometry(kept.value(geometryKey).toByteArray()))
            return;
        // A size kept at another font does not fit this one's text: the window takes the size it
        // has for this font, where it was.
        if (kept.value(fontKey).toString() != m_window->font().toString())
            m_window->resize(fresh);
        keepWhole();
    }

    // The screen may have shrunk since the place was kept: the window stays whole on it.
    void keepWhole()
    {
        const QRect room = roomOf(m_window);
        QRect place = m_window->geometry();
        place.setSize(place.size().boundedTo(room.size()).expandedTo(m_window->minimumSize()));
        place.moveLeft(
            std::clamp(place.left(), room.left(),
                       std::max(room.left(), room.left() + room.width() - place.width())));
        place.moveTop(
            std::clamp(place.top(), room.top(),
                       std::max(room.top(), room.top() + room.height() - place.height())));
        m_window->setGeometry(place);
    }

    void store()
    {
        const QVariantMap place = {{geometryKey, m_window->saveGeometry()},
                                   {fontKey, m_window->font().toString()}};
        trapSilently([&] { storeSetting(m_application, m_key, place); });
    }

    static constexpr QLatin1String geometryKey{"geometry"};
    static constexpr QLatin1String fontKey{"font"};

    QWidget *m_window;
    QString m_application;
    QString m_key;
    QTimer m_rest;
};
} // namespace

void keepPlace(QWidget *window, const QString &application, const QString &name)
{
    if (!application.isEmpty())
        new PlaceKeeper(window, application, name);
}

void readLeftToRight(QWidget *widget)
{
    widget->setLayoutDirection(Qt::LeftToRight);
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
