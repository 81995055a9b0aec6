#pragma once

#include <QString>

// The program's text rules: how a text is read as a number, and the three ways a number is shown.
namespace textrules {

/// The numeric value of a text: blanks are ignored, the longest leading part that forms a
/// decimal number is taken ("." is the only decimal point, an exponent is allowed), and a text
/// that does not begin with a number gives 0.
double numericValue(const QString &text);

/// Digits with a minus sign only for negatives: "4660", "-3".
QString plainNumber(qint64 n);

/// The digits preceded by one blank in the sign position (or a minus): " 4660".
QString signedNumber(qint64 n);

/// A count of samples in words: "1 muestra", "0 muestras", "12 muestras".
QString samplesText(quint64 n);

/// A number printed on a drawing surface: sign position, digits, one trailing blank: " 5000 ".
QString printedNumber(qint64 n);

} // namespace textrules
