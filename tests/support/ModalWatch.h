#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>

// Acts once on the first visible modal window of type T that `isIt` accepts. It polls, because
// the call that opens a box runs the box's own event loop and comes back only once it is closed.
template <typename T = QWidget> class ModalWatch {
public:
    explicit ModalWatch(std::function<void(T *)> act, std::function<bool(T *)> isIt = {})
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this, act, isIt] {
            auto *shown = qobject_cast<T *>(QApplication::activeModalWidget());
            if (!shown || !shown->isVisible() || (isIt && !isIt(shown)))
                return;
            m_timer.stop();
            shown->setProperty("sorvik_watched", true);
            act(shown);
            m_seen = true;
        });
        m_timer.start(10);
    }

    bool seen() const { return m_seen; }

private:
    QTimer m_timer;
    bool m_seen = false;
};
