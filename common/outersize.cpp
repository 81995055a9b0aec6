#include "outersize.h"

#include <QEvent>
#include <QTimer>
#include <QWidget>

namespace {

class OuterSizeKeeper : public QObject
{
public:
    OuterSizeKeeper(QWidget *window, QSize outer) : QObject(window), m_window(window), m_outer(outer)
    {
        window->installEventFilter(this);
        fit();
    }

    /// Sizes the client area to the outer size less the frame, once for each frame the window
    /// manager gives it: a size the user chooses afterwards is left alone.
    void fit()
    {
        const QSize margins = m_window->frameGeometry().size() - m_window->size();
        if (m_fitted && margins == m_margins)
            return;
        m_fitted = true;
        m_margins = margins;
        const QSize client = m_outer - margins;
        if (m_window->size() != client)
            m_window->resize(client);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_window) {
            switch (event->type()) {
            case QEvent::Show:
                // Some window managers tell the frame's extents a moment after mapping.
                QTimer::singleShot(100, this, [this] { fit(); });
                QTimer::singleShot(500, this, [this] { fit(); });
                [[fallthrough]];
            case QEvent::Move:
            case QEvent::Resize:
                fit();
                break;
            default:
                break;
            }
        }
        return false;
    }

private:
    QWidget *m_window;
    QSize m_outer;
    QSize m_margins;
    bool m_fitted = false;
};

} // namespace

void keepOuterSize(QWidget *window, QSize outer)
{
    for (QObject *child : window->children())
        if (auto *old = dynamic_cast<OuterSizeKeeper *>(child))
            delete old;
    new OuterSizeKeeper(window, outer);
}
