// The statistics window's charts: the histogram with the limits, and the
// individuals and moving-range charts with their lines and the points that
// break a run rule.
#include "stats_charts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <tuple>

#include "session.h"
#include "stats_window.h"
#include "ui.h"

namespace {

constexpr int kRed = 0xD00000, kGreen = 0x008000, kBlack = 0x000000, kBlue = 0x0050C0;

void VerticalLine(int control, double x, double top, int color) {
    const double xs[2] = {x, x}, ys[2] = {0, top};
    PlotXY(pStats, control, xs, ys, 2, VAL_DOUBLE, VAL_DOUBLE, VAL_THIN_LINE, VAL_NO_POINT,
           VAL_DASH, 1, color);
}

void HorizontalLine(int control, double from, double to, double y, int color, int style) {
    const double xs[2] = {from, to}, ys[2] = {y, y};
    PlotXY(pStats, control, xs, ys, 2, VAL_DOUBLE, VAL_DOUBLE, VAL_THIN_LINE, VAL_NO_POINT, style,
           1, color);
}

// A moving range starts at zero: no margin below it.
void SetYRange(int control, double lo, double hi, bool fromZero = false) {
    const double margin = std::max((hi - lo) * 0.08, 0.0005);
    SetAxisScalingMode(pStats, control, VAL_LEFT_YAXIS, VAL_MANUAL, fromZero ? 0 : lo - margin,
                       hi + margin);
}

}  // namespace

void DrawHistogram(const SampleStatistics &view, const Histogram &h, const Figures &f) {
    DeleteGraphPlot(pStats, STATS_Histogram, -1, VAL_NO_DRAW);
    const Histogram::Bars bars = h.BarsToDraw();
    if (bars.counts.empty()) return;
    double xs[Histogram::kBins + 2], ys[Histogram::kBins + 2];
    int k = 0;
    double top = 1;
    const double width = bars.widthUm / 1000;
    const double origin = bars.startUm / 1000;
    const int shown = static_cast<int>(bars.counts.size());
    xs[k] = origin, ys[k++] = 0;
    for (int b = 0; b < shown; ++b) {
        xs[k] = origin + b * width;
        ys[k++] = static_cast<double>(bars.counts[b]);
        top = std::max(top, static_cast<double>(bars.counts[b]));
    }
    xs[k] = origin + shown * width, ys[k++] = 0;
    PlotXY(pStats, STATS_Histogram, xs, ys, k, VAL_DOUBLE, VAL_DOUBLE, VAL_FILLED_STEPS,
           VAL_NO_POINT, VAL_SOLID, 1, kBlue);
    double lo = xs[0], hi = xs[k - 1];
    if (f.hasSigma && f.sigmaUm > 0) {
        // The normal curve scaled to the bins: n times bin width times density.
        constexpr int kPoints = 121;
        double cx[kPoints], cy[kPoints];
        const double mean = f.meanUm / 1000, sigma = f.sigmaUm / 1000;
        for (int i = 0; i < kPoints; ++i) {
            const double z = -4 + 8.0 * i / (kPoints - 1);
            cx[i] = mean + z * sigma;
            cy[i] = f.n * width * std::exp(-z * z / 2) / (sigma * std::sqrt(2 * std::numbers::pi));
            top = std::max(top, cy[i]);
        }
        PlotXY(pStats, STATS_Histogram, cx, cy, kPoints, VAL_DOUBLE, VAL_DOUBLE, VAL_THIN_LINE,
               VAL_NO_POINT, VAL_SOLID, 1, kBlack);
        lo = std::min(lo, cx[0]);
        hi = std::max(hi, cx[kPoints - 1]);
    }
    top *= 1.08;
    const Limits &l = view.CurrentLimits();
    for (const auto &[has, um, color] :
         {std::tuple{l.hasLower, l.lowerUm, kRed}, std::tuple{l.hasUpper, l.upperUm, kRed},
          std::tuple{l.hasSetpoint, l.setpointUm, kGreen}}) {
        if (!has) continue;
        VerticalLine(STATS_Histogram, um / 1000, top, color);
        lo = std::min(lo, um / 1000);
        hi = std::max(hi, um / 1000);
    }
    const double margin = std::max((hi - lo) * 0.04, 0.0005);
    SetAxisScalingMode(pStats, STATS_Histogram, VAL_XAXIS, VAL_MANUAL, lo - margin, hi + margin);
    SetAxisScalingMode(pStats, STATS_Histogram, VAL_LEFT_YAXIS, VAL_MANUAL, 0, top);
}

// The newest values (no more than the figures cover), their moving ranges,
// the control lines of the chosen figures, and the points that break a
// chosen rule in red; tells them by rule.
InView DrawControlCharts(const SampleStatistics &view, const ControlLines &c, std::size_t window,
                         uint8_t rules) {
    DeleteGraphPlot(pStats, STATS_IChart, -1, VAL_NO_DRAW);
    DeleteGraphPlot(pStats, STATS_MRChart, -1, VAL_NO_DRAW);
    static double values[SampleStatistics::kChartPoints], xs[SampleStatistics::kChartPoints];
    static double ranges[SampleStatistics::kChartPoints];
    static uint8_t marks[SampleStatistics::kChartPoints];
    const int wanted =
        window ? static_cast<int>(std::min<std::size_t>(window, SampleStatistics::kChartPoints))
               : SampleStatistics::kChartPoints;
    const int n = view.Newest(values, wanted);
    InView v;
    v.rules = rules;
    if (n == 0) return v;
    const double firstNumber = static_cast<double>(view.Count() - n + 1);
    double lo = values[0], hi = values[0], mrHi = 0;
    for (int i = 0; i < n; ++i) {
        xs[i] = firstNumber + i;
        lo = std::min(lo, values[i]);
        hi = std::max(hi, values[i]);
        ranges[i] = i ? std::fabs(values[i] - values[i - 1]) / 1000 : 0;
        mrHi = std::max(mrHi, ranges[i]);
    }
    MarkRuleBreaks(values, n, c.centreUm, c.defined ? c.sigmaUm : 0, rules, marks);
    if (!c.defined) std::fill(marks, marks + n, 0);
    for (int i = 0; i < n; ++i)
        for (int r = 0; r < kRules; ++r)
            if (marks[i] >> r & 1) {
                ++v.byRule[r];
                v.lastAt[r] = static_cast<uint64_t>(xs[i]);
            }
    for (int i = 0; i < n; ++i) values[i] /= 1000;
    PlotXY(pStats, STATS_IChart, xs, values, n, VAL_DOUBLE, VAL_DOUBLE, VAL_THIN_LINE, VAL_NO_POINT,
           VAL_SOLID, 1, kBlue);
    if (n > 1)
        PlotXY(pStats, STATS_MRChart, xs + 1, ranges + 1, n - 1, VAL_DOUBLE, VAL_DOUBLE,
               VAL_THIN_LINE, VAL_NO_POINT, VAL_SOLID, 1, kBlue);
    const double x0 = xs[0], x1 = std::max(xs[n - 1], x0 + 1);
    lo /= 1000, hi /= 1000;
    if (c.defined) {
        HorizontalLine(STATS_IChart, x0, x1, c.centreUm / 1000, kGreen, VAL_SOLID);
        HorizontalLine(STATS_IChart, x0, x1, c.lowerUm / 1000, kRed, VAL_DASH);
        HorizontalLine(STATS_IChart, x0, x1, c.upperUm / 1000, kRed, VAL_DASH);
        HorizontalLine(STATS_MRChart, x0, x1, c.mrCentreUm / 1000, kGreen, VAL_SOLID);
        HorizontalLine(STATS_MRChart, x0, x1, c.mrUpperUm / 1000, kRed, VAL_DASH);
        lo = std::min(lo, c.lowerUm / 1000);
        hi = std::max(hi, c.upperUm / 1000);
        mrHi = std::max(mrHi, c.mrUpperUm / 1000);
    }
    int &broken = v.points;
    for (int i = 0; i < n; ++i)
        if (marks[i]) {
            xs[broken] = xs[i];
            values[broken++] = values[i];
        }
    if (broken > 0)
        PlotXY(pStats, STATS_IChart, xs, values, broken, VAL_DOUBLE, VAL_DOUBLE, VAL_SCATTER,
               VAL_SOLID_SQUARE, VAL_SOLID, 1, kRed);
    for (int control : {STATS_IChart, STATS_MRChart})
        SetAxisScalingMode(pStats, control, VAL_XAXIS, VAL_MANUAL, x0, x1);
    SetYRange(STATS_IChart, lo, hi);
    SetYRange(STATS_MRChart, 0, mrHi, true);
    return v;
}
