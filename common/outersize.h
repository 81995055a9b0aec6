#pragma once

#include <QSize>

class QWidget;

/// Gives a top-level window the given outer size (title bar and borders included) as a window
/// manager frames it; until then, and where there is no frame, the client area takes the whole
/// size. Once the user (or the window manager for the user: maximizing, restoring) has given
/// the window another size, it is left as the user has it, also when shown again.
void keepOuterSize(QWidget *window, QSize outer);
