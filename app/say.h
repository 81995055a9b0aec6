#pragma once

#include <QString>

/// Writes one line "dispvanto: …" on stderr: every message of the program without windows, and
/// what the windowed program says before its windows exist.
void say(const QString &text);
