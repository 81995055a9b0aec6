#pragma once

#include <QFont>

/// The large display's font: Impact 72 pt where Impact is installed. Elsewhere fontconfig may
/// hand out a symbol font under that name whose digits draw as ticks and crosses, so we fall
/// back to a condensed bold sans face that draws real digits.
QFont displayFont();

/// Lets Qt cache the display's large glyphs as images. By default it caches glyphs up to 64
/// pixels and draws larger ones from their outlines on every repaint, which at 72 points costs
/// more than all the decoding at 9600 baud. Call before the application object is created.
void cacheLargeGlyphs();
