#pragma once

#include <QImage>
#include <QRect>

/// Where an image of ARGB pixels has ink: the smallest rectangle holding every pixel that is
/// not wholly transparent, in pixels; a null rectangle when there is none.
QRect inkRect(const QImage &image);
