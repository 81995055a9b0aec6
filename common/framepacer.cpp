#include "framepacer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <QWidget>

namespace {

class FramePacer : public QObject
{
public:
    FramePacer(QWidget *window, int frameMs) : QObject(window), m_window(window), m_frameMs(frameMs)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_lastFrame.start();
            m_releasing = true;
            QEvent request(QEvent::UpdateRequest);
            QCoreApplication::sendEvent(m_window, &request);
            m_releasing = false;
        });
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_window || event->type() != QEvent::UpdateRequest || m_releasing)
            return false;
        if (!m_lastFrame.isValid() || m_lastFrame.elapsed() >= m_frameMs) {
            m_lastFrame.start();
            return false; // paint now
        }
        // Too soon after the last frame: paint when the next frame is due. The repaint manager
        // keeps what is dirty until then.
        if (!m_timer.isActive())
            m_timer.start(int(m_frameMs - m_lastFrame.elapsed()));
        return true;
    }

private:
    QWidget *m_window;
    int m_frameMs;
    QElapsedTimer m_lastFrame;
    QTimer m_timer;
    bool m_releasing = false;
};

} // namespace

void paceRepaints(QWidget *window, int frameMs)
{
    new FramePacer(window, frameMs);
}
