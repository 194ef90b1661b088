// The gauge study window: reference and tolerance, n and the pace, a live
// study against the connected sensor or one from a recording, the run chart
// with the reference and +-0.1 T, and the figures with the verdict.
#pragma once

#include <cstddef>

extern int pGauge;  // the study window's panel handle

// At start-up, once the panels are loaded: no study yet, so no report.
void InitGaugeWindow();

// The text the result box shows now (for tests and screen readers alike).
std::size_t GaugeResultText(char *out, std::size_t size);

int CC_GAUGE(int panel, int event, void *callbackData, int eventData1, int eventData2);
#define KVEX_GAUGE_CC(name) \
    int name(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
KVEX_GAUGE_CC(CC_BTNGauge)
KVEX_GAUGE_CC(CC_GaugeStart)
KVEX_GAUGE_CC(CC_GaugeFromFile)
KVEX_GAUGE_CC(CC_GaugeClose)
KVEX_GAUGE_CC(CC_GaugeReport)
#undef KVEX_GAUGE_CC
