#include "picturebox.h"

#include "twips.h"

#include <QPaintEvent>
#include <QPainter>
#include <cmath>

PictureBox::PictureBox(QWidget *parent)
    : QWidget(parent), m_repaint(this, [this] {
          update(m_dirty);
          m_dirty = QRect();
      })
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
    const QRect box(at, QSize(metrics.horizontalAdvance(text) + 1, metrics.height()));
    {
        QPainter p(&m_image);
        p.setFont(font());
        p.setPen(foreColor());
        p.drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip, text);
    }
    m_current = {0.0, m_current.y() + metrics.height() * twips::kPerPixel};
    dirty(box);
}

void PictureBox::dirty(const QRect &pixels)
{
    // Gather what changed and mark it once per frame: a pass plots many points.
    m_dirty |= pixels;
    m_repaint.request();
}

void PictureBox::paintEvent(QPaintEvent *event)
{
    QPainter p(this);
    p.drawImage(event->rect(), m_image, event->rect());
}
