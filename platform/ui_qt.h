// Qt-side access to the run-time's widgets, for tests that drive real widget
// events (QTest) and inspect what the widgets show. The system's modules never
// include this header.
#pragma once

class QWidget;
class QLabel;
class QCustomPlot;

// nullptr for an unknown panel or control.
QWidget *UiPanelWidget(int panel);
// The widget that takes the operator's input or shows the value: the button,
// combo box, spin box, slider, line edit, label, text edit or plot.
QWidget *UiControlWidget(int panel, int control);
// Graphs and strip charts.
QCustomPlot *UiControlPlot(int panel, int control);
// The label line above a control, when it has one.
QLabel *UiControlCaption(int panel, int control);
