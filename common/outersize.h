#pragma once

#include <QSize>

class QWidget;

/// Keeps a top-level window's outer size (title bar and borders included) at the given size.
/// The frame is known only once a window manager has framed the window, and may change with
/// it; until then, and where there is no frame, the client area takes the whole size.
void keepOuterSize(QWidget *window, QSize outer);
