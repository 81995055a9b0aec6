#pragma once

#include <QFont>

/// The large display's font: Impact 72 pt where Impact is installed. Elsewhere fontconfig may
/// hand out a symbol font under that name whose digits draw as ticks and crosses, so we fall
/// back to a condensed bold sans face that draws real digits.
QFont displayFont();


/// The same font for a widget that only ever shows numbers: laid out without the font's
/// typographic rules, which digits do not need (the pixels are the same).
QFont numberFont(const QFont &font);
