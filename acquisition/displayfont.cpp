#include "displayfont.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QList>

namespace {
bool drawsLatinDigits(const QFont &font)
{
    const QString family = QFontInfo(font).family();
    return QFontDatabase::writingSystems(family).contains(QFontDatabase::Latin);
}
} // namespace

namespace {
/// Digits and signs need none of the font's typographic rules (ligatures, kerning): skipping
/// them draws the same pixels and makes each new number cheaper to lay out.
QFont unshaped(QFont font)
{
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}
} // namespace

QFont numberFont(const QFont &font)
{
    return unshaped(font);
}

QFont displayFont()
{
    QFont impact(QStringLiteral("Impact"), 72);
    impact.setWeight(QFont::Normal);
    if (QFontInfo(impact).family().compare(u"Impact", Qt::CaseInsensitive) == 0 && drawsLatinDigits(impact))
        return unshaped(impact);

    QFont condensed(QStringLiteral("DejaVu Sans"), 72);
    condensed.setStretch(QFont::Condensed);
    condensed.setWeight(QFont::Bold);
    if (drawsLatinDigits(condensed))
        return unshaped(condensed);
    QFont plain;
    plain.setPointSize(72);
    plain.setWeight(QFont::Bold);
    return unshaped(plain);
}
