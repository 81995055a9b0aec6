#include "displaybox.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <algorithm>

namespace {
bool isPlainNumber(const QString &text)
{
    return !text.isEmpty()
           && std::all_of(text.begin(), text.end(), [](QChar c) { return (c >= u'0' && c <= u'9') || c == u' ' || c == u'-'; });
}

/// What shows behind the box: the background of the nearest ancestor that paints one.
const QWidget *backdropOf(const QWidget *w)
{
    const QWidget *at = w->parentWidget();
    while (at && !at->isWindow() && !at->autoFillBackground())
        at = at->parentWidget();
    return at ? at : w;
}
} // namespace

DisplayBox::DisplayBox(QWidget *parent) : QLineEdit(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void DisplayBox::paintBackdrop(QPainter &p) const
{
    const QWidget *b = backdropOf(this);
    p.setBrushOrigin(-mapTo(b, QPoint()));
    p.fillRect(rect(), b->palette().brush(b->backgroundRole()));
}

const QPixmap &DisplayBox::panel(const QStyleOptionFrame &option)
{
    const QWidget *b = backdropOf(this);
    const qint64 backdrop = b->palette().cacheKey() ^ (qint64(b->backgroundRole()) << 56);
    if (m_panel.isNull() || option.state != m_panelState || option.rect != m_panelRect
        || option.palette.cacheKey() != m_panelPalette || backdrop != m_panelBackdrop
        || m_panel.devicePixelRatio() != devicePixelRatioF()) {
        const qreal dpr = devicePixelRatioF();
        m_panel = QPixmap(size() * dpr);
        m_panel.setDevicePixelRatio(dpr);
        QPainter q(&m_panel);
        paintBackdrop(q);
        style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &q, this);
        m_panelState = option.state;
        m_panelRect = option.rect;
        m_panelPalette = option.palette.cacheKey();
        m_panelBackdrop = backdrop;
    }
    return m_panel;
}

void DisplayBox::paintEvent(QPaintEvent *event)
{
    const QString t = text();
    if (!isPlainNumber(t) || hasSelectedText() || cursorPosition() != t.size() || echoMode() != Normal
        || !hasFrame() || alignment() != Qt::AlignCenter) {
        // Painted as any text box, over what would show behind it.
        {
            QPainter p(this);
            paintBackdrop(p);
        }
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter p(this);
    QStyleOptionFrame option;
    initStyleOption(&option);
    p.drawPixmap(0, 0, panel(option)); // clipped to what is being painted
    const QRect r = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
    const QFontMetrics fm(font());
    int x = r.x() + (r.width() - fm.horizontalAdvance(t)) / 2;
    const int y = r.y() + (r.height() - fm.height() + 1) / 2;
    const int pad = fm.height() / 4;
    p.setClipRect(r);
    for (QChar c : t) {
        p.drawPixmap(x - pad, y, glyph(c));
        x += fm.horizontalAdvance(c);
    }
    if (hasFocus())
        p.fillRect(QRect(x, y, style()->pixelMetric(QStyle::PM_TextCursorWidth, &option, this), fm.height()),
                   palette().color(QPalette::Text));
}

void DisplayBox::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange
        || event->type() == QEvent::EnabledChange || event->type() == QEvent::StyleChange) {
        m_glyphs.clear();
        m_panel = QPixmap();
    }
    QLineEdit::changeEvent(event);
}

const QPixmap &DisplayBox::glyph(QChar c)
{
    auto it = m_glyphs.find(c);
    if (it != m_glyphs.end())
        return *it;
    const QFontMetrics fm(font());
    const int pad = fm.height() / 4; // room for ink that reaches past the advance
    const qreal dpr = devicePixelRatioF();
    QPixmap pm(QSize(fm.horizontalAdvance(c) + 2 * pad, fm.height()) * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter q(&pm);
    q.setFont(font());
    q.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    q.drawText(QPointF(pad, fm.ascent()), QString(c));
    q.end();
    return *m_glyphs.insert(c, pm);
}
