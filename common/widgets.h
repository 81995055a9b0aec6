#pragma once

#include "twips.h"

#include <QString>
#include <QWidget>

/// A child widget with its name (for findChild and tests) and its place given in twips.
template <typename W>
W *placeWidget(QWidget *parent, const char *name, int left, int top, int width, int height)
{
    auto *w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(twips::rect(left, top, width, height));
    return w;
}

/// The same, with a caption or initial text.
template <typename W>
W *placeWidget(QWidget *parent, const char *name, const QString &text, int left, int top, int width, int height)
{
    W *w = placeWidget<W>(parent, name, left, top, width, height);
    w->setText(text);
    return w;
}

/// Sets a text only when it differs: setting the same text again would only cost a repaint.
template <typename W>
void setTextIfChanged(W *w, const QString &text)
{
    if (w->text() != text)
        w->setText(text);
}
