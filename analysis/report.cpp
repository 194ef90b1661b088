#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <numbers>

#include "gauge_study.h"
#include "ui_report.h"

namespace {

constexpr int kBlack = 0x000000, kRed = 0xD00000, kGreen = 0x008000, kBlue = 0x0050C0;
constexpr std::size_t kEventsListed = 20;
constexpr std::size_t kChartBuckets = 1500;  // polyline points a chart needs, at most
constexpr std::size_t kMarks = 300;          // rule-break circles that stay apart

std::string Mm(double um) {
    char text[40];
    if (ShortestNumber(text, sizeof text, um / 1000) < 0) return "-";
    return text;
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// "2026-12-10 12:22:05 UTC+01:00": local time, as a reader reads it, with
// the zone it is in; with milliseconds where events follow each other fast.
std::string Readable(int64_t ms, bool withMs = false) {
    char date[40], iso[48];
    if (ms < 0 ||
        WallTimeText(ms, withMs ? WallStyle::DateMs : WallStyle::Date, date, sizeof date) == 0)
        return "not known";
    IsoTimestamp(iso, sizeof iso, ms);
    const std::size_t n = std::strlen(iso);
    return std::string(date) + " UTC" + (n >= 6 ? iso + n - 6 : "");
}

// One figure of the table as the CSV gives it.
std::string FigureText(const FigureField &field, const Figures &f, uint64_t badLines) {
    if (!field.told(f)) return "undefined";
    const double v = field.value(f, badLines);
    if (field.csvDecimals == kCount) return Fixed(v, 0);
    if (field.upper)
        return Fixed(v, field.csvDecimals) + " to " + Fixed(field.upper(f), field.csvDecimals);
    return Fixed(v, field.csvDecimals);
}

std::string Share(uint64_t part, uint64_t whole) {
    if (whole == 0) return "-";
    return Fixed(100.0 * static_cast<double>(part) / static_cast<double>(whole), 3) + " %";
}

// Rows of cells for ReportTable.
struct Table {
    int columns;
    std::vector<std::string> cells;
    void Row(std::initializer_list<std::string> row) {
        for (const std::string &c : row) cells.push_back(c);
    }
    void Draw(const std::vector<double> &widths = {}) const {
        std::vector<const char *> p;
        for (const std::string &c : cells) p.push_back(c.c_str());
        ReportTable(p.data(), static_cast<int>(cells.size() / columns), columns,
                    widths.empty() ? nullptr : widths.data());
    }
};

// A long run drawn by the lowest and highest value of each stretch: the
// path keeps every spike at a bounded size.
void Decimate(const std::vector<double> &y, std::vector<double> &xs, std::vector<double> &ys) {
    const std::size_t n = y.size();
    if (n <= 2 * kChartBuckets) {
        for (std::size_t i = 0; i < n; ++i)
            xs.push_back(static_cast<double>(i + 1)), ys.push_back(y[i]);
        return;
    }
    for (std::size_t b = 0; b < kChartBuckets; ++b) {
        const std::size_t from = n * b / kChartBuckets, to = n * (b + 1) / kChartBuckets;
        const auto [lo, hi] = std::minmax_element(y.begin() + from, y.begin() + to);
        const bool lowFirst = lo < hi;
        const double x = static_cast<double>(from + 1);
        xs.push_back(x), ys.push_back(lowFirst ? *lo : *hi);
        xs.push_back(x), ys.push_back(lowFirst ? *hi : *lo);
    }
}

void Range(const std::vector<double> &v, double &lo, double &hi) {
    for (const double x : v) lo = std::min(lo, x), hi = std::max(hi, x);
}

void Pad(double &lo, double &hi) {
    if (!(hi > lo)) lo -= 1, hi += 1;
    const double pad = (hi - lo) * 0.06;
    lo -= pad, hi += pad;
}

void DrawHistogram(const ReportData &d, const Figures &f) {
    const Histogram h = d.Statistics().HistogramOf(0);
    int first = 0, last = 0;
    h.Occupied(first, last);
    if (first == last) return;
    std::vector<double> edges, heights;
    double top = 0;
    for (int i = first; i < last; ++i) {
        edges.push_back((h.originUm + static_cast<double>(h.widthUm) * i) / 1000);
        heights.push_back(static_cast<double>(h.count[i]));
        top = std::max(top, heights.back());
    }
    edges.push_back((h.originUm + static_cast<double>(h.widthUm) * last) / 1000);
    double lo = edges.front(), hi = edges.back();
    const Limits &l = d.Statistics().CurrentLimits();
    std::vector<ReportLine> lines;
    std::vector<std::string> names;
    names.reserve(4);
    const auto Line = [&](double um, int rgb, int dashed, const char *what) {
        names.push_back(std::string(what) + " " + Mm(um));
        lines.push_back({1, um / 1000, rgb, dashed, names.back().c_str()});
        lo = std::min(lo, um / 1000), hi = std::max(hi, um / 1000);
    };
    if (l.hasLower) Line(l.lowerUm, kRed, 0, "lower");
    if (l.hasUpper) Line(l.upperUm, kRed, 0, "upper");
    if (l.hasSetpoint) Line(l.setpointUm, kGreen, 1, "setpoint");
    Pad(lo, hi);
    // The normal curve of the mean and overall σ, in counts per bin.
    std::vector<double> cx, cy;
    if (f.hasSigma && f.sigmaUm > 0) {
        const double mean = f.meanUm / 1000, sigma = f.sigmaUm / 1000;
        const double scale = static_cast<double>(f.n) * (static_cast<double>(h.widthUm) / 1000) /
                             (sigma * std::sqrt(2 * std::numbers::pi));
        for (int i = 0; i <= 200; ++i) {
            const double x = lo + (hi - lo) * i / 200, z = (x - mean) / sigma;
            cx.push_back(x), cy.push_back(scale * std::exp(-z * z / 2));
        }
        top = std::max(top, scale);
    }
    const ReportSeries curve{cx.data(), cy.data(), static_cast<int>(cx.size()), kBlue, REPORT_LINE};
    ReportChart c{};
    c.title = "Histogram, normal curve of mean and overall \xCF\x83";
    c.xLabel = "value [mm]";
    c.yLabel = "count";
    c.xMin = lo, c.xMax = hi, c.yMin = 0, c.yMax = top * 1.08;
    c.heightPt = 150;
    c.series = &curve;
    c.seriesCount = cx.empty() ? 0 : 1;
    c.lines = lines.data();
    c.lineCount = static_cast<int>(lines.size());
    c.barEdges = edges.data();
    c.barHeights = heights.data();
    c.barCount = static_cast<int>(heights.size());
    ReportCharts(&c, 1);
}

void DrawControlCharts(const ReportData &d, const std::vector<uint8_t> &marks) {
    const std::vector<double> &v = d.Values();
    if (v.size() < 2) return;
    std::vector<double> mm(v.size()), mr(v.size() - 1);
    for (std::size_t i = 0; i < v.size(); ++i) mm[i] = v[i] / 1000;
    for (std::size_t i = 1; i < v.size(); ++i) mr[i - 1] = std::fabs(mm[i] - mm[i - 1]);
    std::vector<double> ix, iy, rx, ry, kx, ky;
    Decimate(mm, ix, iy);
    Decimate(mr, rx, ry);
    for (double &x : rx) x += 1;  // a moving range belongs to the later value
    // The points that break a rule, at most one mark per 1/kMarks of the run.
    const std::size_t stretch = std::max<std::size_t>(1, mm.size() / kMarks);
    for (std::size_t i = 0; i < marks.size(); ++i)
        if (marks[i] && (kx.empty() || i + 1 - kx.back() >= stretch))
            kx.push_back(static_cast<double>(i + 1)), ky.push_back(mm[i]);
    const ControlLines c = d.Statistics().LinesOf(0);
    double lo = mm[0], hi = mm[0];
    Range(mm, lo, hi);
    std::vector<ReportLine> iLines, rLines;
    std::vector<std::string> names;
    names.reserve(8);
    const auto Line = [&](std::vector<ReportLine> &to, double value, int rgb, int dashed,
                          const char *what) {
        names.push_back(std::string(what) + " " + Fixed(value, 4));
        to.push_back({0, value, rgb, dashed, names.back().c_str()});
    };
    if (c.defined) {
        Line(iLines, c.centreUm / 1000, kGreen, 0, "x\xCC\x84");
        Line(iLines, c.upperUm / 1000, kRed, 1, "UCL");
        Line(iLines, c.lowerUm / 1000, kRed, 1, "LCL");
        lo = std::min(lo, c.lowerUm / 1000), hi = std::max(hi, c.upperUm / 1000);
        Line(rLines, c.mrCentreUm / 1000, kGreen, 0, "MR\xCC\x84");
        Line(rLines, c.mrUpperUm / 1000, kRed, 1, "UCL");
    }
    Pad(lo, hi);
    double rTop = 0, rLow = 0;
    Range(mr, rLow, rTop);
    if (c.defined) rTop = std::max(rTop, c.mrUpperUm / 1000);
    Pad(rLow, rTop);
    const ReportSeries iSeries[] = {
        {ix.data(), iy.data(), static_cast<int>(ix.size()), kBlack, REPORT_LINE},
        {kx.data(), ky.data(), static_cast<int>(kx.size()), kRed, REPORT_MARKS}};
    const ReportSeries rSeries{rx.data(), ry.data(), static_cast<int>(rx.size()), kBlack,
                               REPORT_LINE};
    const double count = static_cast<double>(mm.size());
    ReportChart i{};
    i.title = "Individuals (I), rule breaks circled in red";
    i.xLabel = "sample";
    i.yLabel = "value [mm]";
    i.xMin = 1, i.xMax = count, i.yMin = lo, i.yMax = hi;
    i.heightPt = 120;
    i.series = iSeries;
    i.seriesCount = 2;
    i.lines = iLines.data();
    i.lineCount = static_cast<int>(iLines.size());
    ReportChart r{};
    r.title = "Moving range (MR)";
    r.xLabel = "sample";
    r.yLabel = "moving range [mm]";
    r.xMin = 1, r.xMax = count, r.yMin = 0, r.yMax = rTop;
    r.heightPt = 70;
    r.series = &rSeries;
    r.seriesCount = 1;
    r.lines = rLines.data();
    r.lineCount = static_cast<int>(rLines.size());
    ReportCharts(&i, 1);
    ReportCharts(&r, 1);
}

void DrawExtra(const ReportSection &s) {
    ReportHeading(s.heading.c_str());
    std::string text;
    for (const std::string &l : s.lines) text += (text.empty() ? "" : "\n") + l;
    if (!text.empty()) ReportParagraph(text.c_str());
    if (s.chartValues.empty()) return;
    std::vector<double> xs, ys;
    Decimate(s.chartValues, xs, ys);
    double lo = s.chartValues[0], hi = lo;
    Range(s.chartValues, lo, hi);
    std::vector<ReportLine> lines;
    for (const auto &[at, name] : s.chartLines) {
        lines.push_back({0, at, kRed, 1, name.c_str()});
        lo = std::min(lo, at), hi = std::max(hi, at);
    }
    Pad(lo, hi);
    const ReportSeries series{xs.data(), ys.data(), static_cast<int>(xs.size()), kBlack,
                              REPORT_LINE};
    ReportChart c{};
    c.title = s.chartTitle.c_str();
    c.xLabel = "sample";
    c.yLabel = s.chartUnit.c_str();
    c.xMin = 1, c.xMax = static_cast<double>(s.chartValues.size()), c.yMin = lo, c.yMax = hi;
    c.heightPt = s.chartHeightPt;
    c.series = &series;
    c.seriesCount = 1;
    c.lines = lines.data();
    c.lineCount = static_cast<int>(lines.size());
    ReportCharts(&c, 1);
}

void TakeRecordingSample(void *data, const Sample &s, const Limits &limits) {
    auto &d = *static_cast<ReportData *>(data);
    d.Add(0, s.wallMs, s.exactUm, s.verdict, limits);
}

}  // namespace

ReportData::ReportData() : stats_(std::make_unique<SampleStatistics>()) {}

void ReportData::Add(uint64_t number, int64_t wallMs, double um, Verdict verdict,
                     const Limits &limits) {
    ++sampleNumber_;
    stats_->Add(um, verdict, limits);
    events_.Add(number ? number : sampleNumber_, wallMs, um, verdict);
    if (wallMs >= 0) {
        if (firstMs_ < 0) firstMs_ = wallMs;
        lastMs_ = wallMs;
    }
    if (values_.size() < kChartValues)
        values_.push_back(um);
    else
        valuesAll_ = false;
}

bool ReportData::AddRecording(const char *path, const Limits *given, const char **why) {
    static SampleStatistics scratch;  // its ring is large: made once
    RecordingStatistics read;
    if (!ReadRecordingStatistics(path, given, scratch, read, why, TakeRecordingSample, this))
        return false;
    badLines += read.badLines;
    return true;
}

Figures ReportData::FiguresWithRules() const {
    Figures f = stats_->FiguresOf(0);
    f.rules = rules;
    const ControlLines c = stats_->LinesOf(0);
    if (!c.defined) {
        f.ruleBreaksWhy = f.n < 2 ? "fewer than two values"
                                  : "no spread from value to value (mean moving range 0)";
        return f;
    }
    if (!valuesAll_) {
        f.ruleBreaksWhy = "more values than the chart keeps";
        return f;
    }
    RuleCheck check(c.centreUm, c.sigmaUm, rules);
    for (const double um : values_) {
        const uint8_t marks = check.Next(um);
        for (int r = 0; r < kRules; ++r) f.ruleBreaks[r] += (marks >> r) & 1;
    }
    f.hasRuleBreaks = true;
    f.ruleBreaksWhy = "";
    std::vector<double> values = values_;
    SetNormality(f, values);
    return f;
}

namespace {

// The title block, the same on every document the program hands over.
void DrawTitle(const char *heading, const ReportTitle &t) {
    ReportHeading(heading);
    Table title{4, {}};
    title.Row({"Part number", t.part, "Order", t.order});
    title.Row({"Characteristic", t.characteristic, "Operator", t.operatorName});
    title.Row({"Comment", t.comment, "Report made", Readable(std::time(nullptr) * 1000LL)});
    title.Draw({0.16, 0.34, 0.14, 0.36});
}

// The numbers of the first samples (from 1, in the report's order) that
// break rule r, at most kListedBreaks of them: where to look in the chart.
constexpr std::size_t kListedBreaks = 20;
std::string FirstBreaks(const std::vector<uint8_t> &marks, int r) {
    std::string out;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < marks.size() && listed < kListedBreaks; ++i)
        if (marks[i] & (1u << (r - 1))) {
            out += (listed++ ? ", " : "") + std::to_string(i + 1);
        }
    return listed ? out : "none";
}

// Who made, checked and approved the document, each with a line for the
// name, the date and the signature.
void DrawApproval() {
    ReportHeading("Approval");
    Table approval{4, {}};
    approval.Row({"", "name", "date", "signature"});
    for (const char *who : {"Prepared by", "Checked by", "Approved by"})
        approval.Row({who, "\n\n", "", ""});
    approval.Draw({0.16, 0.34, 0.18, 0.32});
}

// A document drawn twice: once to count its pages, so that each page's foot
// can say "page N of M", then into the file.
template <class Draw>
bool WritePages(const char *file, const char *title, Draw draw, const char **why) {
    for (const bool counting : {true, false}) {
        if (ReportOpen(counting ? nullptr : file, title, counting ? 0 : ReportPages()) != 0) {
            *why = ReportFailure();
            return false;
        }
        draw();
        DrawApproval();
        if (ReportClose() != 0) {
            *why = ReportFailure();
            return false;
        }
    }
    return true;
}

void DrawReport(const ReportData &d) {
    const Figures f = d.FiguresWithRules();
    const Limits &l = d.Statistics().CurrentLimits();
    DrawTitle("K-VEX measurement report", d.title);

    Table source{2, {}};
    source.Row({"Recording", d.source});
    source.Row({"Sensor", d.sensor});
    if (!d.scope.empty()) source.Row({"Covers", d.scope});
    std::string limits;
    limits += "lower " + (l.hasLower ? Mm(l.lowerUm) + " mm" : std::string("none"));
    limits += ", upper " + (l.hasUpper ? Mm(l.upperUm) + " mm" : std::string("none"));
    limits += ", setpoint " + (l.hasSetpoint ? Mm(l.setpointUm) + " mm" : std::string("not known"));
    if (d.Statistics().LimitsChanged()) limits += " (the last of several during the recording)";
    source.Row({"Limits", limits});
    source.Row({"Span", Readable(d.FirstMs(), true) + " to " + Readable(d.LastMs(), true)});
    std::string samples = std::to_string(f.n) + " samples";
    if (d.badLines) samples += ", " + std::to_string(d.badLines) + " lines that could not be read";
    source.Row({"Samples", samples});
    source.Draw({0.16, 0.84});

    ReportHeading("Figures");
    // Each index beside its partner, each interval under its index.
    static const char *const kPairs[][2] = {
        {"n", "mean_mm"},
        {"sigma_mm", "sigma_within_mm"},
        {"min_mm", "max_mm"},
        {"cp", "cpk"},
        {"cp_ci95", "cpk_ci95"},
        {"pp", "ppk"},
        {"pp_ci95", "ppk_ci95"},
        {"below", "above"},
        {"inside", "bad_lines"},
        {"ppm_observed_below", "ppm_observed_above"},
        {"ppm_expected_below", "ppm_expected_above"},
        {"ad_a2", "ad_p"},
    };
    const auto cell = [&](const char *key, std::string &label, std::string &value) {
        for (std::size_t i = 0; i < kFigureFieldCount; ++i)
            if (std::strcmp(kFigureFields[i].key, key) == 0) {
                const FigureField &field = kFigureFields[i];
                label = field.upper ? field.column : field.header;
                value = FigureText(field, f, d.badLines);
            }
    };
    Table table{4, {}};
    table.Row({"figure", "value", "figure", "value"});
    for (const auto &pair : kPairs) {
        std::string a, av, b, bv;
        cell(pair[0], a, av);
        cell(pair[1], b, bv);
        table.Row({a, av, b, bv});
    }
    table.Row({"range [mm]", f.n ? Fixed((f.maxUm - f.minUm) / 1000, 4) : "undefined", "unjudged",
               std::to_string(f.unjudged)});
    table.Row({"below share", Share(f.below, f.n), "above share", Share(f.above, f.n)});
    table.Row({"inside share", Share(f.inside, f.n), "", ""});
    table.Draw({0.24, 0.26, 0.24, 0.26});
    ReportParagraph(
        "Cp, Cpk from the within \xCF\x83 (mean moving range / 1.128); Pp, Ppk from the "
        "overall \xCF\x83 (n - 1).");
    DrawHistogram(d, f);

    // The heading, the I chart and the MR chart on one page.
    ReportKeepTogether(330);
    ReportHeading("I-MR chart");
    std::vector<uint8_t> marks(d.Values().size());
    const ControlLines c = d.Statistics().LinesOf(0);
    if (c.defined && f.hasRuleBreaks)
        MarkRuleBreaks(d.Values().data(), static_cast<int>(d.Values().size()), c.centreUm,
                       c.sigmaUm, d.rules, marks.data());
    DrawControlCharts(d, marks);

    ReportHeading("Rule breaks by rule");
    Table rules{4, {}};
    rules.Row({"rule", "what it looks for", "points", "the first samples that break it"});
    for (int r = 1; r <= kRules; ++r)
        if (d.rules & (1u << (r - 1)))
            rules.Row({std::to_string(r), RuleName(r),
                       f.hasRuleBreaks ? std::to_string(f.ruleBreaks[r - 1]) : "not checked",
                       f.hasRuleBreaks ? FirstBreaks(marks, r) : ""});
    rules.Draw({0.06, 0.34, 0.1, 0.5});
    if (!f.hasRuleBreaks && f.ruleBreaksWhy[0])
        ReportParagraph((std::string("Not checked: ") + f.ruleBreaksWhy).c_str());

    ReportHeading("Out-of-tolerance events");
    const ToleranceEvents &e = d.Events();
    const std::size_t listed = std::min(kEventsListed, e.Events().size());
    std::string total =
        std::to_string(e.Total()) + (e.Total() == 1 ? " event" : " events") + " in all";
    if (listed < e.Total()) total += "; the first " + std::to_string(listed) + " are listed";
    ReportParagraph(total.c_str());
    if (listed) {
        Table events{7, {}};
        events.Row({"from", "to", "first", "last", "samples", "side", "worst [mm]"});
        for (std::size_t i = 0; i < listed; ++i) {
            const ToleranceEvent &ev = e.Events()[i];
            events.Row({Readable(ev.firstMs, true), Readable(ev.lastMs, true),
                        std::to_string(ev.firstSample), std::to_string(ev.lastSample),
                        std::to_string(ev.count), ev.side == Verdict::Below ? "below" : "above",
                        Mm(ev.worstUm)});
        }
        events.Draw({0.29, 0.29, 0.08, 0.08, 0.08, 0.07, 0.11});
    }
    for (const ReportSection &s : d.extra) DrawExtra(s);
}

void DrawGaugeStudy(const GaugeStudyReport &r) {
    const GaugeStudy &g = r.study;
    DrawTitle("K-VEX gauge study (type 1)", r.title);
    Table source{2, {}};
    source.Row({"Measured", r.source});
    source.Row({"Sensor", r.sensor});
    // Every length in one form: the shortest that reads back the same.
    source.Row({"Reference", Mm(g.referenceMm * 1000) + " mm, tolerance width T " +
                                 Mm(g.toleranceMm * 1000) +
                                 " mm (0.1 T = " + Mm(g.toleranceMm * 1000 / 10) + " mm)"});
    source.Row({"Measurements", std::to_string(g.n)});
    source.Draw({0.16, 0.84});

    ReportHeading("Result");
    char text[2048];
    if (GaugeStudyText(text, sizeof text, g) < 0) text[0] = '\0';
    Table result{2, {}};
    result.Row({"figure", "value"});
    for (const char *line = text; *line;) {
        const char *end = std::strchr(line, '\n');
        std::string whole(line, end ? static_cast<std::size_t>(end - line) : std::strlen(line));
        // The terminal's "+-" is a printed ±.
        for (std::size_t at; (at = whole.find("+-")) != std::string::npos;)
            whole.replace(at, 2, "\xC2\xB1");
        const std::size_t gap = whole.find("  ");
        const std::size_t value = whole.find_first_not_of(' ', gap);
        if (gap != std::string::npos && value != std::string::npos)
            result.Row({whole.substr(0, gap), whole.substr(value)});
        else
            result.Row({whole, ""});
        if (!end) break;
        line = end + 1;
    }
    result.Draw({0.2, 0.8});

    ReportSection chart;
    chart.heading = "Run chart";
    chart.chartTitle = "Measurements in order, the reference and reference \xC2\xB1 0.1 T";
    chart.chartUnit = "mm";
    chart.chartValues = r.valuesMm;
    chart.chartHeightPt = 300;  // the page's rest: a study is read off its run chart
    chart.chartLines = {{g.referenceMm + 0.1 * g.toleranceMm, "xm + 0.1 T"},
                        {g.referenceMm, "xm"},
                        {g.referenceMm - 0.1 * g.toleranceMm, "xm - 0.1 T"}};
    DrawExtra(chart);
}

}  // namespace

bool WriteReport(const ReportData &d, const char *file, const char **why) {
    return WritePages(
        file, "K-VEX measurement report", [&] { DrawReport(d); }, why);
}

bool WriteGaugeStudyReport(const GaugeStudyReport &r, const char *file, const char **why) {
    return WritePages(
        file, "K-VEX gauge study (type 1)", [&] { DrawGaugeStudy(r); }, why);
}
