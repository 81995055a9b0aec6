#pragma once

class QWidget;

/// Repaints the window at most once per screen frame (about 60 times a second). Widgets still
/// change at once (a text set is there to read); only the painting is gathered, since no screen
/// shows more frames than that and a 72-point text painted for every sample would cost a
/// core at a high line rate.
void paceRepaints(QWidget *window, int frameMs = 16);
