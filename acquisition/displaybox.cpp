#include "displaybox.h"

#include <QEvent>
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
} // namespace

void DisplayBox::paintEvent(QPaintEvent *event)
{
    const QString t = text();
    if (!isPlainNumber(t) || hasSelectedText() || cursorPosition() != t.size() || echoMode() != Normal
        || !hasFrame() || alignment() != Qt::AlignCenter) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter p(this);
    QStyleOptionFrame panel;
    initStyleOption(&panel);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &p, this);
    const QRect r = style()->subElementRect(QStyle::SE_LineEditContents, &panel, this);
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
        p.fillRect(QRect(x, y, style()->pixelMetric(QStyle::PM_TextCursorWidth, &panel, this), fm.height()),
                   palette().color(QPalette::Text));
}

void DisplayBox::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange
        || event->type() == QEvent::EnabledChange || event->type() == QEvent::StyleChange)
        m_glyphs.clear();
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
