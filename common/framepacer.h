#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QLabel;
class QLineEdit;
class QWidget;

/// Repaints the window at most once per screen frame (see setFrameInterval). Changes that come
/// sooner wait for the next frame, and every paced window waiting is painted at that one tick,
/// since no screen shows more frames than that and a 72-point text painted for every sample
/// would cost a core at a high line rate.
void paceRepaints(QWidget *window);

/// The period of the one frame clock that paces every window: 16 ms (about 60 frames a second)
/// unless set. Setting it applies at once, to the windows already paced too.
void setFrameInterval(int ms);
int frameInterval();

/// For tests: while held, the frame clock's time stands still and moves only by
/// advanceFrameClock, so whether a frame is due does not depend on how busy the machine is.
void holdFrameClock(bool held);
void advanceFrameClock(int ms);

/// Work that only matters once it is on screen (laying out a text, marking what to repaint),
/// done once per frame however often it was asked for: it runs just before the widget's paced
/// window is next painted, within a frame. A window that is not shown has no frames, so then it
/// runs at once.
class FrameTask
{
public:
    FrameTask(QWidget *widget, std::function<void()> work);
    ~FrameTask();
    FrameTask(const FrameTask &) = delete;
    FrameTask &operator=(const FrameTask &) = delete;

    void request();
    /// Runs now what was asked for, for a reader that cannot wait for the frame.
    void finish();
    void cancel();
    bool isRequested() const { return m_requested; }
    QWidget *widget() const { return m_widget; }

    /// Runs what waits for this window (the clock calls it just before painting it).
    static void runFor(QWidget *window);

private:
    QWidget *m_widget;
    std::function<void()> m_work;
    bool m_requested = false;
};

/// A label's or a text box's text set as often as the data changes but laid out and painted
/// once per frame: shaping a text costs far more than deciding it. User input to the widget
/// first brings in the waiting text, so the user always acts on the newest one.
class PacedText : public QObject
{
public:
    explicit PacedText(QLabel *label);
    explicit PacedText(QLineEdit *edit);

    void setText(const QString &text);
    /// The text the widget shows from its next frame on.
    QString text() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    PacedText(QWidget *widget, QLabel *label, QLineEdit *edit);
    QString widgetText() const;
    void apply();

    QLabel *m_label;
    QLineEdit *m_edit;
    QString m_text;
    FrameTask m_task;
};
