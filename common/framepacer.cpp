#include "framepacer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <vector>

namespace {

/// Tasks asked for and not yet run, in the order asked.
std::vector<FrameTask *> &waitingTasks()
{
    static std::vector<FrameTask *> tasks;
    return tasks;
}

/// One frame clock for every paced window: changes that come too soon after a frame wait for
/// the next one, and all windows waiting are painted at the same tick, so two windows cost
/// one wake-up per frame, not two. Times are in ms on the clock's own time line, which follows
/// the monotonic clock unless a test holds it.
class FrameClock : public QObject
{
public:
    FrameClock(int frameMs, QObject *parent) : QObject(parent), m_frameMs(frameMs)
    {
        m_monotonic.start();
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &FrameClock::release);
    }

    /// Whether the window may paint now; otherwise it is painted at the next frame.
    bool mayPaintNow(QWidget *window)
    {
        if (m_releasing)
            return true;
        if (!framePending() && (m_lastFrame < 0 || now() - m_lastFrame >= m_frameMs)) {
            m_lastFrame = now();
            return true;
        }
        waitForFrame(window);
        return false;
    }

    void setFrameMs(int ms) { m_frameMs = ms; }

    /// Paints the window at the next frame: at once if one is due.
    void waitForFrame(QWidget *window)
    {
        if (std::none_of(m_waiting.begin(), m_waiting.end(), [&](const QPointer<QWidget> &w) { return w == window; }))
            m_waiting.emplace_back(window);
        if (framePending())
            return;
        const qint64 wait = m_lastFrame < 0 ? 0 : std::max<qint64>(0, m_frameMs - (now() - m_lastFrame));
        if (m_held && wait > 0)
            m_dueAt = now() + wait;
        else
            m_timer.start(int(wait));
    }

    /// While held, time stands still for the clock except as advance() moves it.
    void hold(bool held)
    {
        if (held == m_held)
            return;
        if (held) {
            m_heldNow = now();
            m_held = true;
            if (m_timer.isActive() && m_timer.remainingTime() > 0) {
                m_dueAt = m_heldNow + m_timer.remainingTime();
                m_timer.stop();
            }
            return;
        }
        // Time goes on from where it was held, never backwards.
        m_held = false;
        m_offset = m_heldNow - m_monotonic.elapsed();
        if (m_dueAt >= 0) {
            m_timer.start(int(std::max<qint64>(0, m_dueAt - now())));
            m_dueAt = -1;
        }
    }

    void advance(int ms)
    {
        if (!m_held)
            return;
        m_heldNow += ms;
        if (m_dueAt >= 0 && m_heldNow >= m_dueAt) {
            m_dueAt = -1;
            release();
        }
    }

private:
    qint64 now() const { return m_held ? m_heldNow : m_monotonic.elapsed() + m_offset; }
    bool framePending() const { return m_timer.isActive() || m_dueAt >= 0; }

    void release()
    {
        m_lastFrame = now();
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
        // Tasks of windows that are not paced, or were hidden meanwhile, are not left behind.
        const auto left = waitingTasks();
        for (FrameTask *t : left)
            if (std::find(waitingTasks().begin(), waitingTasks().end(), t) != waitingTasks().end())
                t->finish();
    }

    int m_frameMs;
    QElapsedTimer m_monotonic;
    qint64 m_offset = 0;     // added to the monotonic clock after a hold
    bool m_held = false;
    qint64 m_heldNow = 0;
    qint64 m_dueAt = -1;     // while held: when the frame waited for comes
    qint64 m_lastFrame = -1; // none yet
    QTimer m_timer;
    std::vector<QPointer<QWidget>> m_waiting;
    bool m_releasing = false;
};

int g_frameMs = 16;

/// The one clock; it lives as long as the application.
FrameClock &theClock()
{
    static QPointer<FrameClock> clock;
    if (!clock)
        clock = new FrameClock(g_frameMs, QCoreApplication::instance());
    return *clock;
}

class FramePacer : public QObject
{
public:
    explicit FramePacer(QWidget *window) : QObject(window), m_window(window), m_clock(theClock())
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_window || event->type() != QEvent::UpdateRequest)
            return false;
        // Too soon after the last frame: the repaint manager keeps what is dirty until then.
        if (!m_clock.mayPaintNow(m_window))
            return true;
        FrameTask::runFor(m_window);
        return false;
    }

private:
    QWidget *m_window;
    FrameClock &m_clock;
};

} // namespace

void paceRepaints(QWidget *window)
{
    new FramePacer(window);
}

void setFrameInterval(int ms)
{
    g_frameMs = ms;
    if (QCoreApplication::instance())
        theClock().setFrameMs(ms);
}

int frameInterval()
{
    return g_frameMs;
}

void holdFrameClock(bool held)
{
    theClock().hold(held);
}

void advanceFrameClock(int ms)
{
    theClock().advance(ms);
}

FrameTask::FrameTask(QWidget *widget, std::function<void()> work) : m_widget(widget), m_work(std::move(work)) {}

FrameTask::~FrameTask()
{
    cancel();
}

void FrameTask::request()
{
    if (m_requested)
        return;
    if (!m_widget->isVisible()) {
        m_work();
        return;
    }
    m_requested = true;
    waitingTasks().push_back(this);
    theClock().waitForFrame(m_widget->window());
}

void FrameTask::finish()
{
    if (!m_requested)
        return;
    cancel();
    m_work();
}

void FrameTask::cancel()
{
    if (!m_requested)
        return;
    m_requested = false;
    auto &tasks = waitingTasks();
    tasks.erase(std::find(tasks.begin(), tasks.end(), this));
}

void FrameTask::runFor(QWidget *window)
{
    std::vector<FrameTask *> due;
    for (FrameTask *t : waitingTasks())
        if (t->m_widget->window() == window)
            due.push_back(t);
    if (due.empty())
        return;
    for (FrameTask *t : due)
        t->finish();
    // What the tasks marked dirty is painted by the update now under way; the requests the
    // repaint manager posted for it would only wake the loop for nothing.
    QCoreApplication::removePostedEvents(window, QEvent::UpdateRequest);
}

PacedText::PacedText(QLabel *label) : PacedText(label, label, nullptr) {}
PacedText::PacedText(QLineEdit *edit) : PacedText(edit, nullptr, edit) {}

PacedText::PacedText(QWidget *widget, QLabel *label, QLineEdit *edit)
    : QObject(widget), m_label(label), m_edit(edit), m_task(widget, [this] { apply(); })
{
    widget->installEventFilter(this);
}

QString PacedText::widgetText() const
{
    return m_label ? m_label->text() : m_edit->text();
}

void PacedText::setText(const QString &text)
{
    m_text = text;
    if (m_task.isRequested() || widgetText() != text)
        m_task.request();
}

QString PacedText::text() const
{
    return m_task.isRequested() ? m_text : widgetText();
}

void PacedText::apply()
{
    if (widgetText() == m_text)
        return;
    if (m_label)
        m_label->setText(m_text);
    else
        m_edit->setText(m_text);
}

bool PacedText::eventFilter(QObject *, QEvent *event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride:
    case QEvent::KeyPress:
    case QEvent::InputMethod:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::Drop:
    case QEvent::FocusIn:
    case QEvent::FocusOut:
        m_task.finish();
        break;
    default:
        break;
    }
    return false;
}
