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

QFont displayFont()
{
    QFont impact(QStringLiteral("Impact"), 72);
    impact.setWeight(QFont::Normal);
    if (QFontInfo(impact).family().compare(u"Impact", Qt::CaseInsensitive) == 0 && drawsLatinDigits(impact))
        return impact;

    QFont condensed(QStringLiteral("DejaVu Sans"), 72);
    condensed.setStretch(QFont::Condensed);
    condensed.setWeight(QFont::Bold);
    if (drawsLatinDigits(condensed))
        return condensed;
    QFont plain;
    plain.setPointSize(72);
    plain.setWeight(QFont::Bold);
    return plain;
}
