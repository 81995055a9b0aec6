#pragma once

#include <QHash>
#include <QLineEdit>
#include <QPixmap>

/// The large display: an ordinary editable text box that paints a plain number from images of
/// its characters, made once. Qt draws glyphs this large from their outlines on every paint,
/// which at a repaint per screen frame cost more than all the decoding at 9600 baud. While the
/// user edits (a selection, or the cursor not at the end) it paints as any text box.
class DisplayBox : public QLineEdit
{
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    const QPixmap &glyph(QChar c);
    QHash<QChar, QPixmap> m_glyphs;
};
