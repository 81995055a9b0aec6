#pragma once

#include <QFont>

/// The large display's font: Impact 72 pt where Impact is installed. Elsewhere fontconfig may
/// hand out a symbol font under that name whose digits draw as ticks and crosses, so we fall
/// back to a condensed bold sans face that draws real digits.
QFont displayFont();

