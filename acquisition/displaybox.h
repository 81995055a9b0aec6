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
    /// Where a text painted from glyphs goes: each character's image, and the cursor after it.
    struct Layout
    {
        QString text;
        QRect contents;
        QList<QPoint> places;
        QRect cursor;
        bool valid = false;
    };
    /// The layout of a text; the last two are kept, since a new number is laid out once and
    /// then used to mark the change and to paint it.
    const Layout &layout(const QString &text, const QRect &contents);
    QRect contentsRect(const QStyleOptionFrame &option) const;
    void paintBackdrop(QPainter &p) const;
    const QPixmap &panel(const QStyleOptionFrame &option);

    QHash<QChar, Glyph> m_glyphs;
    Layout m_layouts[2];
    QHash<QString, int> m_widths; // of the numbers laid out so far
    int m_newestLayout = 0;
    QPixmap m_panel;
    // What the kept frame was drawn for.
    QStyle::State m_panelState;
    QRect m_panelRect;
    qint64 m_panelPalette = 0;
    qint64 m_panelBackdrop = 0;
};
