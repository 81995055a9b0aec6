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
/// nothing behind it is painted again when the number changes. A new number set through
/// showText repaints only the characters that changed.
class DisplayBox : public QLineEdit
{
    Q_OBJECT
public:
    explicit DisplayBox(QWidget *parent = nullptr);

    /// Sets the text, when it differs, and marks for repainting only what differs on screen:
    /// the changed characters of a plain number, or the whole box for any other change.
    void showText(const QString &text);

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    struct Glyph
    {
        QPixmap image;
        QRect ink; // where the image has ink, in pixels from its top-left corner
    };
    const Glyph &glyph(QChar c);
    /// Whether the text is painted from glyph images (a plain number shown as typed last).
    bool paintsFromGlyphs(const QString &text) const;
    /// Where each character's image goes for a text painted from glyphs.
    QList<QPoint> glyphPlaces(const QString &text, const QRect &contents) const;
    QRect contentsRect(const QStyleOptionFrame &option) const;
    QRect cursorRect(const QString &text, const QRect &contents) const;
    void paintBackdrop(QPainter &p) const;
    const QPixmap &panel(const QStyleOptionFrame &option);

    QHash<QChar, Glyph> m_glyphs;
    QPixmap m_panel;
    // What the kept frame was drawn for.
    QStyle::State m_panelState;
    QRect m_panelRect;
    qint64 m_panelPalette = 0;
    qint64 m_panelBackdrop = 0;
};
