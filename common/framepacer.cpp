#include "framepacer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <vector>

namespace {

/// One frame clock for every paced window: changes that come too soon after a frame wait for
/// the next one, and all windows waiting are painted at the same tick, so two windows cost
/// one wake-up per frame, not two.
class FrameClock : public QObject
{
public:
    FrameClock(int frameMs, QObject *parent) : QObject(parent), m_frameMs(frameMs)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &FrameClock::release);
    }

    /// Whether the window may paint now; otherwise it is painted at the next frame.
    bool mayPaintNow(QWidget *window)
    {
        if (m_releasing)
            return true;
        if (!m_lastFrame.isValid() || m_lastFrame.elapsed() >= m_frameMs) {
            m_lastFrame.start();
            return true;
        }
        bool known = false;
        for (const auto &w : m_waiting)
            known = known || w == window;
        if (!known)
            m_waiting.emplace_back(window);
        if (!m_timer.isActive())
            m_timer.start(int(m_frameMs - m_lastFrame.elapsed()));
        return false;
    }

private:
    void release()
    {
        m_lastFrame.start();
        const auto waiting = std::move(m_waiting);
        m_waiting.clear();
        m_releasing = true;
        for (const auto &w : waiting) {
            if (!w)
                continue;
            QEvent request(QEvent::UpdateRequest);
            QCoreApplication::sendEvent(w, &request);
        }
        m_releasing = false;
    }

    int m_frameMs;
    QElapsedTimer m_lastFrame;
    QTimer m_timer;
    std::vector<QPointer<QWidget>> m_waiting;
    bool m_releasing = false;
};

FrameClock &clockFor(int frameMs)
{
    // One rate is used throughout; the clock lives as long as the application.
    static QPointer<FrameClock> clock;
    if (!clock)
        clock = new FrameClock(frameMs, QCoreApplication::instance());
    return *clock;
}

class FramePacer : public QObject
{
public:
    FramePacer(QWidget *window, int frameMs) : QObject(window), m_window(window), m_clock(clockFor(frameMs))
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_window || event->type() != QEvent::UpdateRequest)
            return false;
        // Too soon after the last frame: the repaint manager keeps what is dirty until then.
        return !m_clock.mayPaintNow(m_window);
    }

private:
    QWidget *m_window;
    FrameClock &m_clock;
};

} // namespace

void paceRepaints(QWidget *window, int frameMs)
{
    new FramePacer(window, frameMs);
}
