#include "picturebox.h"

#include "ink.h"
#include "twips.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <vector>

namespace {
/// Width of the columns in which changes are gathered: one rectangle per column that changed,
/// so a frame sends a few image requests, not one per point nor the whole plot.
constexpr int kColumn = 32;
} // namespace

PictureBox::PictureBox(QWidget *parent) : QWidget(parent), m_repaint(this, [this] { markChanged(); })
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Plain pixels: printing a text twice at one place leaves it as it was, as it must when the
    // labels are printed again over their own uncut parts.
    QFont f = font();
    f.setStyleStrategy(QFont::NoAntialias);
    setFont(f);
}

QColor PictureBox::backColor() const { return palette().color(QPalette::Window); }
QColor PictureBox::foreColor() const { return palette().color(QPalette::WindowText); }

QColor PictureBox::fromBgr(quint32 bgr)
{
    return QColor(bgr & 0xff, (bgr >> 8) & 0xff, (bgr >> 16) & 0xff);
}

void PictureBox::setSizeTwips(int width, int height)
{
    const QSize size(twips::px(width), twips::px(height));
    QImage image(size, QImage::Format_RGB32);
    image.fill(backColor());
    if (!m_image.isNull()) {
        QPainter p(&image);
        p.drawImage(0, 0, m_image);
    }
    m_image = image;
    m_shown = image.copy();
    m_dirty = QRect();
    resize(size);
    update();
}

void PictureBox::Cls()
{
    m_image.fill(backColor());
    m_current = {0, 0};
    dirty(m_image.rect());
}

void PictureBox::Line(QPointF from, QPointF to)
{
    Line(from, to, foreColor());
}

void PictureBox::Line(QPointF from, QPointF to, QColor colour)
{
    const QPoint a = twips::point(from.x(), from.y());
    const QPoint b = twips::point(to.x(), to.y());
    if (a == b) {
        if (m_image.rect().contains(a))
            m_image.setPixelColor(a, colour);
    } else {
        QPainter p(&m_image);
        p.setPen(QPen(colour, 0));
        p.drawLine(a, b);
    }
    m_current = to;
    dirty(QRect(a, b).normalized());
}

void PictureBox::FilledBox(QPointF from, QPointF to, QColor colour)
{
    const QRect box = QRect(twips::point(from.x(), from.y()), twips::point(to.x(), to.y())).normalized();
    QPainter p(&m_image);
    p.fillRect(box, colour);
    m_current = to;
    dirty(box);
}

void PictureBox::PSet(float x, float y, QColor colour)
{
    // Range-check before converting: a huge coordinate must not overflow the pixel type.
    const double px = std::floor(double(x) / twips::kPerPixel + 0.5);
    const double py = std::floor(double(y) / twips::kPerPixel + 0.5);
    m_current = {x, y};
    if (!(px >= 0 && px < m_image.width() && py >= 0 && py < m_image.height()))
        return;
    const QPoint at{int(px), int(py)};
    QRgb &pixel = reinterpret_cast<QRgb *>(m_image.scanLine(at.y()))[at.x()];
    const QRgb rgb = colour.rgb();
    if (pixel == rgb)
        return; // nothing changes on screen: no repaint
    pixel = rgb;
    dirty(QRect(at, QSize(1, 1)));
}

void PictureBox::Print(const QString &text)
{
    const QPoint at = twips::point(m_current.x(), m_current.y());
    const QFontMetrics metrics(font());
    const Printed &p = printed(text);
    if (!p.ink.isNull()) {
        QPainter painter(&m_image);
        painter.drawImage(at + p.offset, p.ink);
        dirty(QRect(at + p.offset, p.ink.size()));
    }
    m_current = {0.0, m_current.y() + metrics.height() * twips::kPerPixel};
}

const PictureBox::Printed &PictureBox::printed(const QString &text)
{
    // The labels are printed again after every erase: laying a text out costs far more than
    // copying its pixels. Drawn without antialiasing, a pixel is either ink in the pen's colour
    // or untouched, so the copy leaves exactly what drawing the text would.
    auto it = m_printed.find(text);
    if (it != m_printed.end())
        return *it;
    const QFontMetrics metrics(font());
    const QRect box(QPoint(0, 0), QSize(metrics.horizontalAdvance(text) + 1, metrics.height()));
    const int margin = metrics.height(); // for ink that reaches out of the box
    QImage canvas(box.size() + QSize(2 * margin, 2 * margin), QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        QPainter p(&canvas);
        p.setFont(font());
        p.setPen(foreColor());
        p.drawText(box.translated(margin, margin), Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip, text);
    }
    const QRect ink = inkRect(canvas);
    Printed p;
    if (!ink.isNull()) {
        p.ink = canvas.copy(ink);
        p.offset = ink.topLeft() - QPoint(margin, margin);
    }
    return *m_printed.insert(text, p);
}

void PictureBox::dirty(const QRect &pixels)
{
    // Gather what changed and mark it once per frame: a pass plots many points.
    m_dirty |= pixels;
    m_repaint.request();
}

void PictureBox::markChanged()
{
    const QRect area = m_dirty & m_image.rect();
    m_dirty = QRect();
    if (area.isEmpty())
        return;
    // An erase followed by the same points again changes nothing on screen; only the pixels
    // that differ from what is shown are sent, in one rectangle per column that has any.
    const int firstColumn = area.left() / kColumn, columns = area.right() / kColumn - firstColumn + 1;
    std::vector<int> top(size_t(columns), -1), bottom(size_t(columns), -1);
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const auto *now = reinterpret_cast<const QRgb *>(m_image.constScanLine(y));
        auto *shown = reinterpret_cast<QRgb *>(m_shown.scanLine(y));
        for (int c = 0; c < columns; ++c) {
            const int from = std::max((firstColumn + c) * kColumn, area.left());
            const int to = std::min((firstColumn + c + 1) * kColumn, area.right() + 1);
            QRgb differs = 0; // no early exit: the compiler compares a whole column at once
            for (int x = from; x < to; ++x)
                differs |= now[x] ^ shown[x];
            if (!differs)
                continue;
            std::copy(now + from, now + to, shown + from);
            if (top[size_t(c)] < 0)
                top[size_t(c)] = y;
            bottom[size_t(c)] = y;
        }
    }
    QList<QRect> rects;
    QRect bounds;
    qint64 pixels = 0;
    for (int c = 0; c < columns; ++c) {
        if (top[size_t(c)] < 0)
            continue;
        const int from = std::max((firstColumn + c) * kColumn, area.left());
        const int to = std::min((firstColumn + c + 1) * kColumn, area.right() + 1);
        rects.append(QRect(from, top[size_t(c)], to - from, bottom[size_t(c)] - top[size_t(c)] + 1));
        bounds |= rects.last();
        pixels += qint64(rects.last().width()) * rects.last().height();
    }
    if (rects.isEmpty())
        return;
    // Changes all over (a fast trace) are sent as one rectangle: fewer requests and a simpler
    // region cost more than the few unchanged pixels they carry.
    if (2 * pixels >= qint64(bounds.width()) * bounds.height()) {
        update(bounds);
        return;
    }
    QRegion changed;
    for (const QRect &r : rects)
        changed += r;
    update(changed);
}

void PictureBox::paintEvent(QPaintEvent *event)
{
    // One rectangle at a time: clipped to a single rectangle, Qt copies the image directly
    // instead of through its general span painting (which wakes other threads to help).
    QPainter p(this);
    for (const QRect &r : event->region()) {
        p.setClipRect(r);
        p.drawImage(r, m_shown, r);
    }
}

void PictureBox::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange)
        m_printed.clear();
    QWidget::changeEvent(event);
}
