// The statistics against figures computed here another way: two passes in
// long double, sets small enough to work out by hand, rule hits placed on
// purpose.
#include "statistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Reference {
    long double mean = 0, sigma = 0;
    int32_t min = 0, max = 0;
};

Reference TwoPass(const std::vector<int32_t> &v) {
    Reference r;
    long double sum = 0;
    r.min = r.max = v.front();
    for (const int32_t x : v) {
        sum += x;
        r.min = std::min(r.min, x);
        r.max = std::max(r.max, x);
    }
    r.mean = sum / v.size();
    long double squares = 0;
    for (const int32_t x : v) squares += (x - r.mean) * (x - r.mean);
    r.sigma = std::sqrt(squares / (v.size() - 1));
    return r;
}

Limits Both(double lower, double upper) {
    Limits l;
    l.hasLower = l.hasUpper = true;
    l.lowerUm = lower;
    l.upperUm = upper;
    return l;
}

void AddAll(SampleStatistics &s, const std::vector<int32_t> &v, const Limits &l) {
    for (const int32_t x : v) s.Add(x, Judge(x, l), l);
}

void ExpectMatches(const Figures &f, const std::vector<int32_t> &v) {
    const Reference r = TwoPass(v);
    ASSERT_EQ(f.n, v.size());
    EXPECT_NEAR(f.meanUm, static_cast<double>(r.mean), 1e-6);
    ASSERT_TRUE(f.hasSigma);
    EXPECT_NEAR(f.sigmaUm, static_cast<double>(r.sigma), 1e-9 + 1e-9 * r.sigma);
    EXPECT_EQ(f.minUm, r.min);
    EXPECT_EQ(f.maxUm, r.max);
}

}  // namespace

// Values near the top of the range that differ by a micrometre or two: the
// sum of squares taken naively would lose every digit of the spread. The
// whole run and the newest N both match the two-pass figures, and so do the
// tolerance counts.
TEST(Statistics, FiguresMatchTwoPassAlsoWithALargeOffsetAndTinySpread) {
    std::mt19937 rng(7);
    for (const int32_t offset : {37000, 2'000'000'000, -2'000'000'000}) {
        std::uniform_int_distribution<int32_t> spread(offset == 37000 ? -400 : 0,
                                                      offset == 37000 ? 400 : 2);
        std::vector<int32_t> v(250000);
        for (int32_t &x : v) x = offset + spread(rng);
        const Limits l = Both(offset - 100.0, offset + 1.0);
        SampleStatistics s;
        AddAll(s, v, l);
        const Figures whole = s.FiguresOf(0);
        ExpectMatches(whole, v);
        uint64_t below = 0, above = 0;
        for (const int32_t x : v) {
            below += x < offset - 100;
            above += x > offset + 1;
        }
        EXPECT_EQ(whole.below, below);
        EXPECT_EQ(whole.above, above);
        EXPECT_EQ(whole.below + whole.inside + whole.above, v.size());
        const std::vector<int32_t> last(v.end() - 777, v.end());
        ExpectMatches(s.FiguresOf(777), last);
        const Figures tail = s.FiguresOf(777);
        EXPECT_NEAR(tail.cp, 101.0 / (6 * static_cast<double>(TwoPass(last).sigma)), 1e-9);
    }
}

// Worked by hand: 1..5 µm, mean 3, σ = sqrt(2.5). With 0..12 µm,
// Cp = 12 / 6σ, Cpk = (3 - 0) / 3σ; with the upper limit alone, Cpk = 9 / 3σ
// and Cp is not told; nothing is told with fewer than two values or none
// apart.
TEST(Statistics, CapabilityOneSidedAndUndefinedCases) {
    const double sigma = std::sqrt(2.5);
    SampleStatistics s;
    AddAll(s, {1, 2, 3, 4, 5}, Both(0, 12));
    Figures f = s.FiguresOf(0);
    EXPECT_NEAR(f.cp, 12 / (6 * sigma), 1e-12);
    EXPECT_NEAR(f.cpk, 3 / (3 * sigma), 1e-12);
    Limits upperOnly;
    upperOnly.hasUpper = true;
    upperOnly.upperUm = 12;
    SetCapability(f, upperOnly);
    EXPECT_FALSE(f.hasCp);
    EXPECT_NE(std::strstr(f.cpWhy, "one tolerance limit"), nullptr);
    ASSERT_TRUE(f.hasCpk);
    EXPECT_NEAR(f.cpk, 9 / (3 * sigma), 1e-12);
    Limits lowerOnly;
    lowerOnly.hasLower = true;
    lowerOnly.lowerUm = 2;
    SetCapability(f, lowerOnly);
    EXPECT_NEAR(f.cpk, 1 / (3 * sigma), 1e-12);
    SetCapability(f, Limits{});
    EXPECT_FALSE(f.hasCp || f.hasCpk);
    EXPECT_EQ(s.FiguresOf(0).unjudged, 0u);

    SampleStatistics none;
    EXPECT_FALSE(none.FiguresOf(0).hasSigma);
    EXPECT_EQ(none.FiguresOf(0).n, 0u);
    none.Add(5, Verdict::Inside, Both(0, 12));
    f = none.FiguresOf(0);
    EXPECT_FALSE(f.hasSigma || f.hasCp || f.hasCpk);
    EXPECT_NE(std::strstr(f.cpWhy, "fewer than two"), nullptr);
    EXPECT_FALSE(none.LinesOf(0).defined);
    for (int i = 0; i < 50; ++i) none.Add(5, Verdict::Inside, Both(0, 12));
    f = none.FiguresOf(0);
    EXPECT_TRUE(f.hasSigma);
    EXPECT_EQ(f.sigmaUm, 0);
    EXPECT_FALSE(f.hasCp || f.hasCpk);
    EXPECT_NE(std::strstr(f.cpkWhy, "= 0"), nullptr);
    EXPECT_FALSE(none.LinesOf(10).defined) << "no moving range, no control limits";
}

// A sample keeps the verdict it was given when measured: after the limits
// move, the counts do not change their past; capability takes the newest
// limits, and the change is told.
TEST(Statistics, LimitsChangingMidRunKeepEachVerdict) {
    SampleStatistics s;
    const Limits wide = Both(0, 100), narrow = Both(40, 60);
    AddAll(s, {10, 20, 30, 90}, wide);
    EXPECT_FALSE(s.LimitsChanged());
    AddAll(s, {10, 50, 90}, narrow);
    EXPECT_TRUE(s.LimitsChanged());
    const Figures f = s.FiguresOf(0);
    EXPECT_EQ(f.inside, 5u);
    EXPECT_EQ(f.below, 1u);
    EXPECT_EQ(f.above, 1u);
    EXPECT_TRUE(s.CurrentLimits() == narrow);
    EXPECT_NEAR(f.cp, 20 / (6 * f.sigmaUm), 1e-12);
    s.Reset();
    EXPECT_FALSE(s.LimitsChanged());
    EXPECT_EQ(s.FiguresOf(0).n, 0u);
}

// Beyond 3σ, nine on one side, six in a row rising or falling, each placed
// in a series that otherwise breaks none; the marks fall exactly there.
TEST(Statistics, RunRulesMarkThePointsThatBreakThem) {
    std::vector<double> v;
    for (int i = 0; i < 20; ++i) v.push_back(i % 2 ? 1 : -1);  // zig-zag round 0
    const int beyond = static_cast<int>(v.size());
    v.push_back(3.5);
    v.push_back(-1);
    const int sideFrom = static_cast<int>(v.size());
    for (int i = 0; i < 10; ++i) v.push_back(i % 2 ? 0.5 : 0.7);  // ten above, no trend
    v.push_back(-1);
    const int riseFrom = static_cast<int>(v.size());
    for (int i = 0; i < 6; ++i) v.push_back(-2.5 + i * 0.4);  // six rising, both sides
    v.push_back(-2);
    std::vector<uint8_t> marks(v.size());
    MarkRuleBreaks(v.data(), static_cast<int>(v.size()), 0, 1, marks.data());
    for (int i = 0; i < static_cast<int>(v.size()); ++i) {
        uint8_t want = 0;
        if (i == beyond) want |= RULE_BEYOND_3_SIGMA;
        if (i >= sideFrom + 8 && i < sideFrom + 10) want |= RULE_NINE_ONE_SIDE;
        if (i == riseFrom + 5) want |= RULE_SIX_TRENDING;
        EXPECT_EQ(marks[i], want) << "point " << i;
    }
    std::vector<double> falling = {5, 4, 3, 2, 2, 1, 0, -1, -2, -3};  // a tie ends a trend
    MarkRuleBreaks(falling.data(), 10, 0, 10, marks.data());
    for (int i = 0; i < 10; ++i) EXPECT_EQ(marks[i] & RULE_SIX_TRENDING, i == 9 ? 4 : 0) << i;

    // σ from the mean moving range: 2, 4, 6 µm gives MR-bar 2, σ = 2 / 1.128.
    SampleStatistics s;
    AddAll(s, {2, 4, 6, 4, 2}, Limits{});
    const ControlLines c = s.LinesOf(0);
    ASSERT_TRUE(c.defined);
    EXPECT_NEAR(c.sigmaUm, 2 / 1.128, 1e-12);
    EXPECT_NEAR(c.upperUm, 3.6 + 3 * 2 / 1.128, 1e-12);
    EXPECT_NEAR(c.mrUpperUm, 3.267 * 2, 1e-12);
    EXPECT_NEAR(s.LinesOf(3).centreUm, 4, 1e-12);
    EXPECT_NEAR(s.LinesOf(3).mrCentreUm, 2, 1e-12);
}

// Every count lands in the bin whose edges hold its value, however far the
// values spread; the memory does not grow with them. A long run keeps only
// the newest values for the chart.
TEST(Statistics, HistogramBinsStayExactAsTheyWiden) {
    std::mt19937 rng(3);
    std::vector<int32_t> v;
    std::normal_distribution<double> near(37000, 3);
    for (int i = 0; i < 20000; ++i) v.push_back(static_cast<int32_t>(near(rng)));
    v.push_back(-2'000'000'000);
    v.push_back(2'100'000'000);
    Histogram h;
    for (const int32_t x : v) h.Add(x);
    ASSERT_GT(h.widthUm, 1);
    EXPECT_EQ(h.Total(), v.size());
    for (int b = 0; b < Histogram::kBins; ++b) {
        const int64_t from = h.originUm + b * h.widthUm, to = from + h.widthUm;
        uint64_t inside = 0;
        for (const int32_t x : v) inside += x >= from && x < to;
        EXPECT_EQ(h.count[b], inside) << "bin " << b;
    }
    SampleStatistics s;
    AddAll(s, v, Limits{});
    double newest[SampleStatistics::kChartPoints];
    ASSERT_EQ(s.Newest(newest, SampleStatistics::kChartPoints), SampleStatistics::kChartPoints);
    EXPECT_EQ(newest[SampleStatistics::kChartPoints - 1], 2'100'000'000);
    EXPECT_EQ(s.HistogramOf(2).Total(), 2u);
    EXPECT_EQ(s.FiguresOf(0).unjudged, v.size());
}

// The command line's and the window's output: undefined figures are null,
// a name with quotes stays one JSON string, the CSV row has a column for
// every header.
TEST(Statistics, JsonAndCsvNameEveryFigure) {
    SampleStatistics s;
    s.Add(37018, Verdict::Inside, Both(36900, 37100));
    char out[2048];
    ASSERT_GT(FiguresJson(out, sizeof out, "a\"b\n.csv", s.FiguresOf(0), 3), 0);
    EXPECT_STREQ(out,
                 "{\"file\": \"a\\\"b\\u000a.csv\", \"n\": 1, \"mean_mm\": 37.018, "
                 "\"sigma_mm\": null, \"min_mm\": 37.018, \"max_mm\": 37.018, \"cp\": null, "
                 "\"cpk\": null, \"below\": 0, \"inside\": 1, \"above\": 0, \"bad_lines\": 3}");
    EXPECT_EQ(FiguresJson(out, 40, "x", s.FiguresOf(0), 0), -1);
    ASSERT_GT(FiguresCsvRow(out, sizeof out, "a,b", s.FiguresOf(0), 0), 0);
    const std::string row = out, header = FiguresCsvHeader();
    EXPECT_EQ(std::count(row.begin(), row.end(), ','),
              std::count(header.begin(), header.end(), ',') + 1)
        << "one comma inside the quoted name";
}
