#pragma once

#include "framepacer.h"

#include <QHash>
#include <QImage>
#include <QPointF>
#include <QWidget>

/// A drawing surface measured in twips. Everything is drawn into a persistent image the size of
/// the box, which also keeps the current drawing position; painting only copies the image, and
/// only the pixels that changed since the last frame are repainted.
class PictureBox : public QWidget
{
    Q_OBJECT
public:
    explicit PictureBox(QWidget *parent = nullptr);

    /// Resizes the box (and its image, keeping what fits) to a size in twips.
    void setSizeTwips(int width, int height);

    /// Clears to the background colour and moves the current position to (0, 0).
    void Cls();
    /// A line between two points; leaves the current position at the second one.
    void Line(QPointF from, QPointF to);
    void Line(QPointF from, QPointF to, QColor colour);
    /// A box filled with one colour, corners included.
    void FilledBox(QPointF from, QPointF to, QColor colour);
    /// One point. Coordinates outside the box, or not finite, draw nothing.
    void PSet(float x, float y, QColor colour);
    /// Text with its top-left corner at the current position, then a line break.
    void Print(const QString &text);

    QPointF currentPosition() const { return m_current; }
    QColor backColor() const;
    QColor foreColor() const;
    const QImage &image() const { return m_image; }

    /// Colours given as 0x00BBGGRR, red in the low byte.
    static QColor fromBgr(quint32 bgr);

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void dirty(const QRect &pixels);
    /// Marks for repainting what differs between the image and what is on screen.
    void markChanged();
    /// A text as Print draws it: its ink on a transparent image, and where that image goes.
    struct Printed
    {
        QImage ink;
        QPoint offset;
    };
    const Printed &printed(const QString &text);

    QImage m_image;
    // What the screen shows (or is about to): the image as of the last frame. Painting copies
    // from here, so that a pixel changed and changed back between two frames costs nothing.
    QImage m_shown;
    QPointF m_current;
    QRect m_dirty;
    FrameTask m_repaint;
    QHash<QString, Printed> m_printed;
};
