#include "outersize.h"

#include <QEvent>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <vector>

namespace {

class OuterSizeKeeper : public QObject
{
public:
    OuterSizeKeeper(QWidget *window, QSize outer) : QObject(window), m_window(window), m_outer(outer)
    {
        window->installEventFilter(this);
        fit();
    }

    /// Sizes the client area to the outer size less the frame, as the window manager frames
    /// the window. Once the window has a size nobody here asked for (the user resized it, or
    /// the window manager maximized it for the user), it is the user's and is left alone.
    void fit()
    {
        if (m_usersOwn)
            return;
        const QSize size = m_window->size();
        const bool askedFor = std::find(m_asked.begin(), m_asked.end(), size) != m_asked.end();
        if ((m_window->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) || (!m_asked.empty() && !askedFor)) {
            m_usersOwn = true;
            return;
        }
        const QSize margins = m_window->frameGeometry().size() - size;
        if (!m_asked.empty() && margins == m_margins)
            return;
        m_margins = margins;
        const QSize client = m_outer - margins;
        m_asked.push_back(client);
        if (size != client)
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
            case QEvent::WindowStateChange:
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
    std::vector<QSize> m_asked; // client sizes set here, as the frame became known
    bool m_usersOwn = false;
};

} // namespace

void keepOuterSize(QWidget *window, QSize outer)
{
    for (QObject *child : window->children())
        if (auto *old = dynamic_cast<OuterSizeKeeper *>(child))
            delete old;
    new OuterSizeKeeper(window, outer);
}
