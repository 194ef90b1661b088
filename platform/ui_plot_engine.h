// What the graph operations take from the plot engine (ui_plot_engine.cpp).
#pragma once

#include <qcustomplot.h>

#include "ui_internal.h"

namespace kvexui {

// Cursors draw on a layer of their own above the curves, which the engine
// draws at every frame.
inline const QString kCursorLayer = QStringLiteral("cursors");

// A plot that draws its changes once per frame over a kept picture of the rest.
QCustomPlot *NewPlot(QWidget *parent);
// A curve whose level runs cost one segment each.
QCPGraph *NewCurve(QCPAxis *keyAxis, QCPAxis *valueAxis);
// A tick labeller that writes each strip-chart number once, not at every frame.
QSharedPointer<QCPAxisTicker> NewRememberedLabels();
// Marks the control's plot for a redraw at the next event processing.
void RequestReplot(Control &c);

}  // namespace kvexui
