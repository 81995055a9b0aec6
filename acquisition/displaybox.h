#pragma once

#include <QHash>
#include <QLineEdit>
#include <QPixmap>
#include <QStyle>

class QStyleOptionFrame;

/// The large display: an ordinary editable text box that paints a plain number from images of
/// its characters, made once. Qt draws glyphs this large from their outlines on every paint,
/// which at a repaint per screen frame cost more than all the decoding at 9600 baud. While the
/// user edits (a selection, or the cursor not at the end) it paints as any text box. Its frame
/// and what shows around it are drawn once and kept, and it paints every pixel it covers, so
/// nothing behind it is painted again when the number changes.
class DisplayBox : public QLineEdit
{
    Q_OBJECT
public:
    explicit DisplayBox(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    const QPixmap &glyph(QChar c);
    void paintBackdrop(QPainter &p) const;
    const QPixmap &panel(const QStyleOptionFrame &option);

    QHash<QChar, QPixmap> m_glyphs;
    QPixmap m_panel;
    // What the kept frame was drawn for.
    QStyle::State m_panelState;
    QRect m_panelRect;
    qint64 m_panelPalette = 0;
    qint64 m_panelBackdrop = 0;
};
