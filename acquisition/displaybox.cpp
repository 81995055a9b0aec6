#include "displaybox.h"

#include "ink.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QImage>
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

bool DisplayBox::paintsFromGlyphs(const QString &t) const
{
    return isPlainNumber(t) && echoMode() == Normal && hasFrame() && alignment() == Qt::AlignCenter;
}

QRect DisplayBox::contentsRect(const QStyleOptionFrame &option) const
{
    return style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
}

const DisplayBox::Layout &DisplayBox::layout(const QString &t, const QRect &r)
{
    for (const Layout &l : m_layouts)
        if (l.valid && l.text == t && l.contents == r)
            return l;
    m_newestLayout = 1 - m_newestLayout;
    Layout &l = m_layouts[m_newestLayout];
    const QFontMetrics fm(font());
    // Laying out a whole number is the costly part, and the same numbers come again and again.
    auto known = m_widths.constFind(t);
    if (known == m_widths.cend()) {
        if (m_widths.size() >= 4096)
            m_widths.clear();
        known = m_widths.insert(t, fm.horizontalAdvance(t));
    }
    const int width = *known;
    int x = r.x() + (r.width() - width) / 2;
    const int y = r.y() + (r.height() - fm.height() + 1) / 2;
    const int pad = fm.height() / 4;
    l.valid = true;
    l.text = t;
    l.contents = r;
    l.places.clear();
    for (QChar c : t) {
        l.places.append(QPoint(x - pad, y));
        x += fm.horizontalAdvance(c);
    }
    QStyleOptionFrame option;
    initStyleOption(&option);
    const int cursorX = r.x() + (r.width() - width) / 2 + width;
    l.cursor = QRect(cursorX, y, style()->pixelMetric(QStyle::PM_TextCursorWidth, &option, this), fm.height());
    return l;
}

void DisplayBox::paintEvent(QPaintEvent *event)
{
    const QString t = text();
    if (!paintsFromGlyphs(t) || hasSelectedText() || cursorPosition() != t.size()) {
        // Painted as any text box, over what would show behind it.
        {
            QPainter p(this);
            paintBackdrop(p);
        }
        QLineEdit::paintEvent(event);
        return;
    }
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QPixmap &frame = panel(option);
    const QRect r = contentsRect(option);
    const Layout &placed = layout(t, r);
    const QRect cursor = hasFocus() ? placed.cursor : QRect();
    QPainter p(this);
    // One rectangle at a time: clipped to a single rectangle, Qt copies images directly, while
    // any other clip goes through its general span painting, which hands pieces of the work to
    // other threads and costs more in waking them than it saves on areas this small.
    for (const QRect &area : event->region()) {
        p.setClipRect(area);
        p.drawPixmap(0, 0, frame);
        const QRect text = area & r;
        if (text.isEmpty())
            continue;
        p.setClipRect(text);
        for (qsizetype i = 0; i < t.size(); ++i) {
            const Glyph &g = glyph(t[i]);
            if (g.ink.translated(placed.places[i]).intersects(text))
                p.drawPixmap(placed.places[i], g.image);
        }
        if (cursor.intersects(text))
            p.fillRect(cursor, palette().color(QPalette::Text));
    }
}

void DisplayBox::showText(const QString &newText)
{
    const QString oldText = text();
    if (newText == oldText)
        return;
    // Only from one plain number to another, both painted from glyphs, is the change narrowed
    // down; any other change repaints the box as the text box would.
    if (!isVisible() || testAttribute(Qt::WA_UpdatesDisabled) || !paintsFromGlyphs(oldText) || hasSelectedText()
        || cursorPosition() != oldText.size() || !paintsFromGlyphs(newText)) {
        setText(newText);
        return;
    }
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QRect r = contentsRect(option);
    const Layout was = layout(oldText, r);
    const Layout &will = layout(newText, r);
    // A character drawn at the same place as before changes no pixel; the others change at
    // most the ink of what was there and of what comes.
    QRect changed;
    for (qsizetype i = 0; i < std::max(oldText.size(), newText.size()); ++i) {
        const bool inOld = i < oldText.size(), inNew = i < newText.size();
        if (inOld && inNew && oldText[i] == newText[i] && was.places[i] == will.places[i])
            continue;
        if (inOld)
            changed |= glyph(oldText[i]).ink.translated(was.places[i]);
        if (inNew)
            changed |= glyph(newText[i]).ink.translated(will.places[i]);
    }
    if (hasFocus())
        changed |= was.cursor | will.cursor;
    // The text box would repaint all of its text; what it marks is left out and only the
    // changed characters are marked, as one rectangle: one image request, one plain clip.
    setAttribute(Qt::WA_UpdatesDisabled, true);
    setText(newText);
    setAttribute(Qt::WA_UpdatesDisabled, false);
    update(changed & r);
}

void DisplayBox::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange
        || event->type() == QEvent::EnabledChange || event->type() == QEvent::StyleChange) {
        m_glyphs.clear();
        m_panel = QPixmap();
        m_layouts[0] = m_layouts[1] = Layout();
        m_widths.clear();
    }
    QLineEdit::changeEvent(event);
}

const DisplayBox::Glyph &DisplayBox::glyph(QChar c)
{
    auto it = m_glyphs.find(c);
    if (it != m_glyphs.end())
        return *it;
    const QFontMetrics fm(font());
    const int pad = fm.height() / 4; // room for ink that reaches past the advance
    const qreal dpr = devicePixelRatioF();
    QImage image(QSize(fm.horizontalAdvance(c) + 2 * pad, fm.height()) * dpr, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    QPainter q(&image);
    q.setFont(font());
    q.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    q.drawText(QPointF(pad, fm.ascent()), QString(c));
    q.end();
    const QRect ink = inkRect(image);
    const QRect logicalInk = QRectF(QPointF(ink.topLeft()) / dpr, QSizeF(ink.size()) / dpr).toAlignedRect();
    return *m_glyphs.insert(c, Glyph{QPixmap::fromImage(image), logicalInk});
}
