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

#include "distributions.h"

namespace {

struct Reference {
    long double mean = 0, sigma = 0, within = 0;
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
    long double ranges = 0;
    for (std::size_t i = 1; i < v.size(); ++i) ranges += std::abs(int64_t{v[i]} - v[i - 1]);
    r.within = ranges / (v.size() - 1) / 1.128L;
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
    ASSERT_TRUE(f.hasSigmaWithin);
    EXPECT_NEAR(f.sigmaWithinUm, static_cast<double>(r.within), 1e-9 * r.within);
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
        EXPECT_NEAR(tail.pp, 101.0 / (6 * static_cast<double>(TwoPass(last).sigma)), 1e-9);
        EXPECT_NEAR(tail.cp, 101.0 / (6 * static_cast<double>(TwoPass(last).within)), 1e-9);
    }
}

// Worked by hand: 1..5 µm, mean 3, σ = sqrt(2.5), every moving range 1, so
// σ within = 1 / 1.128. With 0..12 µm, Cp = 12 / 6σw, Cpk = 3 / 3σw and Pp,
// Ppk the same with σ; with the upper limit alone, Cpk = 9 / 3σw and neither
// Cp nor Pp is told; nothing is told with fewer than two values or none
// apart.
TEST(Statistics, CapabilityOneSidedAndUndefinedCases) {
    const double sigma = std::sqrt(2.5), within = 1 / 1.128;
    SampleStatistics s;
    AddAll(s, {1, 2, 3, 4, 5}, Both(0, 12));
    Figures f = s.FiguresOf(0);
    EXPECT_NEAR(f.cp, 12 / (6 * within), 1e-12);
    EXPECT_NEAR(f.cpk, 3 / (3 * within), 1e-12);
    EXPECT_NEAR(f.pp, 12 / (6 * sigma), 1e-12);
    EXPECT_NEAR(f.ppk, 3 / (3 * sigma), 1e-12);
    Limits upperOnly;
    upperOnly.hasUpper = true;
    upperOnly.upperUm = 12;
    SetCapability(f, upperOnly);
    EXPECT_FALSE(f.hasCp || f.hasPp);
    EXPECT_NE(std::strstr(f.cpWhy, "one tolerance limit"), nullptr);
    EXPECT_NE(std::strstr(f.ppWhy, "Pp needs both"), nullptr);
    ASSERT_TRUE(f.hasCpk && f.hasPpk);
    EXPECT_NEAR(f.cpk, 9 / (3 * within), 1e-12);
    EXPECT_NEAR(f.ppk, 9 / (3 * sigma), 1e-12);
    Limits lowerOnly;
    lowerOnly.hasLower = true;
    lowerOnly.lowerUm = 2;
    SetCapability(f, lowerOnly);
    EXPECT_NEAR(f.cpk, 1 / (3 * within), 1e-12);
    SetCapability(f, Limits{});
    EXPECT_FALSE(f.hasCp || f.hasCpk || f.hasPp || f.hasPpk);
    EXPECT_EQ(s.FiguresOf(0).unjudged, 0u);

    SampleStatistics none;
    EXPECT_FALSE(none.FiguresOf(0).hasSigma);
    EXPECT_EQ(none.FiguresOf(0).n, 0u);
    none.Add(5, Verdict::Inside, Both(0, 12));
    f = none.FiguresOf(0);
    EXPECT_FALSE(f.hasSigma || f.hasSigmaWithin || f.hasCp || f.hasCpk || f.hasPp || f.hasPpk);
    EXPECT_NE(std::strstr(f.cpWhy, "fewer than two"), nullptr);
    EXPECT_FALSE(none.LinesOf(0).defined);
    for (int i = 0; i < 50; ++i) none.Add(5, Verdict::Inside, Both(0, 12));
    f = none.FiguresOf(0);
    EXPECT_TRUE(f.hasSigma);
    EXPECT_EQ(f.sigmaUm, 0);
    EXPECT_FALSE(f.hasSigmaWithin || f.hasCp || f.hasCpk || f.hasPp || f.hasPpk);
    EXPECT_NE(std::strstr(f.cpkWhy, "mean moving range 0"), nullptr);
    EXPECT_NE(std::strstr(f.ppkWhy, "\xCF\x83 = 0"), nullptr);
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
    EXPECT_NEAR(f.pp, 20 / (6 * f.sigmaUm), 1e-12);
    EXPECT_NEAR(f.cp, 20 / (6 * f.sigmaWithinUm), 1e-12);
    s.Reset();
    EXPECT_FALSE(s.LimitsChanged());
    EXPECT_EQ(s.FiguresOf(0).n, 0u);
}

namespace {

// A stretch round the centre 0 (σ 1) that breaks no rule: ties end every
// trend and alternation, zeros end every run on one side, and it starts and
// ends within 1σ.
void Neutral(std::vector<double> &v) {
    for (const double x : {0.0, 0.0, 1.2, 1.2, -1.2, -1.2, 0.0, 0.0}) v.push_back(x);
}

}  // namespace

// A break of each of the eight rules placed on purpose between neutral
// stretches: each rule marks exactly the point that completes its pattern
// (and those after it while it goes on), whatever else is chosen; rules not
// chosen mark nothing.
TEST(Statistics, RunRulesMarkThePointsThatBreakThem) {
    const std::vector<std::vector<double>> patterns = {
        {3.5},                                               // 1
        {0.5, 0.3, 0.5, 0.3, 0.5, 0.3, 0.5, 0.3, 0.5, 0.3},  // 2: ten above
        {-0.9, -0.6, -0.3, 0.2, 0.5, 0.8},                   // 3: six rising
        {0, 1.3, -0.5, 0.5, -1.3, 0.5, -0.5, 1.3, -0.5, 0.5, -1.3, 0.5, -0.5, -0.2},  // 4
        {2.5, 0.5, 2.5},                                                              // 5
        {1.5, 1.5, 0.5, 1.5, 1.5},                                                    // 6
        {1.3, 0.5, 0.3, -0.5, -0.3, 0.5, 0.3, -0.5, -0.3, 0.5, 0.3, -0.5, -0.3, 0.5, 0.3, -0.5,
         -1.3},                                        // 7: fifteen within
        {1.5, -1.5, 1.5, -1.5, 1.5, -1.5, 1.5, -1.5},  // 8
    };
    // Where each pattern completes, from its first point.
    const std::vector<std::vector<int>> completes = {{0}, {8, 9}, {5}, {13}, {2}, {4}, {15}, {7}};
    std::vector<double> v;
    std::vector<std::vector<int>> want(kRules);
    for (int r = 0; r < kRules; ++r) {
        Neutral(v);
        for (const int at : completes[r]) want[r].push_back(static_cast<int>(v.size()) + at);
        v.insert(v.end(), patterns[r].begin(), patterns[r].end());
    }
    Neutral(v);
    const int n = static_cast<int>(v.size());
    std::vector<uint8_t> marks(v.size());
    for (const uint8_t chosen : {uint8_t{0xFF}, uint8_t{0x52}, kDefaultRules}) {
        MarkRuleBreaks(v.data(), n, 0, 1, chosen, marks.data());
        for (int r = 0; r < kRules; ++r) {
            std::vector<int> got;
            for (int i = 0; i < n; ++i)
                if (marks[i] >> r & 1) got.push_back(i);
            EXPECT_EQ(got, chosen >> r & 1 ? want[r] : std::vector<int>{})
                << "rule " << r + 1 << " of 0x" << std::hex << int{chosen};
        }
    }
    uint8_t rules = 0;
    const char *why = "";
    ASSERT_TRUE(ParseRules("1,2,3,5", rules, &why));
    EXPECT_EQ(rules, 0x17);
    for (const char *bad : {"", "1,,2", "0", "9", "1,2,", "12", "1 2", "2,2", "1;3"})
        EXPECT_FALSE(ParseRules(bad, rules, &why)) << bad;

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

namespace {

// The number after "key": in a JSON text, read back as strtod reads it.
double JsonNumber(const std::string &json, const char *key) {
    const std::size_t at = json.find(std::string("\"") + key + "\": ");
    if (at == std::string::npos) return NAN;
    return std::strtod(json.c_str() + at + std::strlen(key) + 4, nullptr);
}

}  // namespace

// The command line's and the window's output: undefined figures are null,
// a name with quotes stays one JSON string, every number reads back to the
// very double computed, the rule breaks name the chosen rules, the CSV row
// has a column for every header.
TEST(Statistics, JsonAndCsvNameEveryFigure) {
    SampleStatistics s;
    s.Add(37018, Verdict::Inside, Both(36900, 37100));
    char out[2048];
    ASSERT_GT(FiguresJson(out, sizeof out, "a\"b\n.csv", s.FiguresOf(0), 3), 0);
    EXPECT_STREQ(out,
                 "{\"file\": \"a\\\"b\\u000a.csv\", \"n\": 1, \"mean_mm\": 37.018, "
                 "\"sigma_mm\": null, \"sigma_within_mm\": null, \"min_mm\": 37.018, "
                 "\"max_mm\": 37.018, \"cp\": null, \"cpk\": null, \"pp\": null, \"ppk\": null, "
                 "\"below\": 0, \"inside\": 1, \"above\": 0, \"bad_lines\": 3, "
                 "\"cp_ci95\": null, \"cpk_ci95\": null, \"pp_ci95\": null, \"ppk_ci95\": null, "
                 "\"ppm_observed_below\": 0, \"ppm_observed_above\": 0, "
                 "\"ppm_expected_below\": null, \"ppm_expected_above\": null, "
                 "\"ad_a2\": null, \"ad_p\": null, \"rule_breaks\": null}");
    EXPECT_EQ(FiguresJson(out, 40, "x", s.FiguresOf(0), 0), -1);

    std::mt19937 rng(11);
    std::uniform_int_distribution<int> quarters(-80, 80);
    for (int i = 0; i < 5000; ++i) {
        const double um = 37000.0 + i * 0.01 + quarters(rng) * 0.25;  // drifts, in 0.25 µm steps
        s.Add(um, Judge(um, Both(36900.5, 37100.25)), Both(36900.5, 37100.25));
    }
    Figures f = s.FiguresOf(0);
    s.CountRuleBreaks(0, 0x83, f);
    ASSERT_TRUE(f.hasRuleBreaks);
    ASSERT_GT(FiguresJson(out, sizeof out, "drift.csv", f, 0), 0);
    const std::string json = out;
    EXPECT_EQ(JsonNumber(json, "mean_mm"), f.meanUm / 1000);
    EXPECT_EQ(JsonNumber(json, "sigma_mm"), f.sigmaUm / 1000);
    EXPECT_EQ(JsonNumber(json, "sigma_within_mm"), f.sigmaWithinUm / 1000);
    EXPECT_EQ(JsonNumber(json, "min_mm"), f.minUm / 1000);
    EXPECT_EQ(JsonNumber(json, "max_mm"), f.maxUm / 1000);
    for (const auto &[key, value] : {std::pair{"cp", f.cp}, std::pair{"cpk", f.cpk},
                                     std::pair{"pp", f.pp}, std::pair{"ppk", f.ppk}})
        EXPECT_EQ(JsonNumber(json, key), value) << key;
    EXPECT_GT(f.pp, 0);
    EXPECT_LT(f.pp, f.cp) << "a drift widens the overall spread, not the short-term one";
    const std::size_t rules = json.find("\"rule_breaks\": {\"1\": ");
    ASSERT_NE(rules, std::string::npos) << json;
    EXPECT_NE(json.find(", \"2\": ", rules), std::string::npos);
    EXPECT_NE(json.find(", \"8\": ", rules), std::string::npos);
    EXPECT_EQ(json.find("\"3\"", rules), std::string::npos) << "rule 3 is not chosen";

    ASSERT_GT(FiguresCsvRow(out, sizeof out, "a,b", f, 0), 0);
    const std::string row = out, header = FiguresCsvHeader();
    EXPECT_EQ(std::count(row.begin(), row.end(), ','),
              std::count(header.begin(), header.end(), ',') + 1)
        << "one comma inside the quoted name";

    // The command line's table: every figure under its own column, an
    // undefined one as "-", whatever its width.
    char head[512], one[512];
    ASSERT_GT(FiguresTableHead(head, sizeof head), 0);
    ASSERT_GT(FiguresTableRow(out, sizeof out, "drift.csv", f, 0), 0);
    SampleStatistics single;
    single.Add(37018, Verdict::Inside, Both(36900, 37100));
    ASSERT_GT(FiguresTableRow(one, sizeof one, "one.csv", single.FiguresOf(0), 12), 0);
    const std::string h = head;
    const std::size_t columns = h.find("  rule breaks");
    ASSERT_NE(columns, std::string::npos);
    for (const std::string &row : {std::string(out), std::string(one)}) {
        EXPECT_EQ(row.substr(columns, 2), "  ") << row;
        std::size_t end = 0;  // each column ends under the end of its head
        for (std::size_t i = 0; i < kFigureFieldCount; ++i) {
            end += (i ? 1 : 0) + static_cast<std::size_t>(kFigureFields[i].width);
            EXPECT_NE(h[end - 1], ' ') << kFigureFields[i].key;
            EXPECT_NE(row[end - 1], ' ') << kFigureFields[i].key << " in\n" << h << "\n" << row;
        }
        EXPECT_EQ(end, columns);
    }
    EXPECT_NE(std::string(one).find(" 37.0180 "), std::string::npos) << one;
    EXPECT_NE(std::string(one).find("      - "), std::string::npos) << "no sigma of one value";
    EXPECT_NE(std::string(one).find(" 12 "), std::string::npos) << "bad lines";
    EXPECT_NE(std::string(one).find("  -" + std::string(16, ' ') + "one.csv"), std::string::npos)
        << "no rules";
}

// ------------------------------------------------------ intervals, ppm, normality

// The χ² quantiles against a printed table (to its digits), the normal's
// tails far out, where 1 - Φ would be 0.
TEST(Distributions, QuantilesAndTailsMatchPrintedTables) {
    const struct {
        double nu, low, high;  // χ²(0.025; ν), χ²(0.975; ν)
        double lowUnit;        // the last printed digit of the lower one
    } kTable[] = {{1, 0.000982, 5.024, 1e-6},  {2, 0.0506, 7.378, 1e-4},
                  {5, 0.831, 12.833, 1e-3},    {10, 3.247, 20.483, 1e-3},
                  {30, 16.791, 46.979, 1e-3},  {49, 31.555, 70.222, 1e-3},
                  {100, 74.222, 129.561, 1e-3}};
    for (const auto &row : kTable) {
        EXPECT_NEAR(ChiSquareQuantile(0.025, row.nu), row.low, row.lowUnit / 2) << row.nu;
        EXPECT_NEAR(ChiSquareQuantile(0.975, row.nu), row.high, 0.0005) << row.nu;
    }
    EXPECT_TRUE(std::isnan(ChiSquareQuantile(0, 5)));
    EXPECT_TRUE(std::isnan(ChiSquareQuantile(0.5, 0)));
    EXPECT_NEAR(NormalCdf(1.959964), 0.975, 1e-7);
    EXPECT_NEAR(NormalUpperTail(10) / 7.619853e-24, 1, 1e-6);
}

namespace {

// Anderson–Darling's A² and its p-value as the formulas read, in long double.
std::pair<long double, long double> AdReference(std::vector<long double> v) {
    std::sort(v.begin(), v.end());
    const long double n = v.size();
    long double mean = 0, squares = 0;
    for (const long double x : v) mean += x / n;
    for (const long double x : v) squares += (x - mean) * (x - mean);
    const long double sigma = std::sqrt(squares / (n - 1));
    long double sum = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const long double lo = 0.5L * std::erfc(-(v[i] - mean) / sigma / std::sqrt(2.0L));
        const long double hi =
            0.5L * std::erfc((v[v.size() - 1 - i] - mean) / sigma / std::sqrt(2.0L));
        sum += (2.0L * i + 1) * (std::log(lo) + std::log(hi));
    }
    const long double a2 = -n - sum / n, a = a2 * (1 + 0.75L / n + 2.25L / (n * n));
    long double p;
    if (a >= 0.6L)
        p = std::exp(1.2937L - 5.709L * a + 0.0186L * a * a);
    else if (a >= 0.34L)
        p = std::exp(0.9177L - 4.279L * a - 1.38L * a * a);
    else if (a >= 0.2L)
        p = 1 - std::exp(-8.318L + 42.796L * a - 59.938L * a * a);
    else
        p = 1 - std::exp(-13.436L + 101.14L * a - 223.73L * a * a);
    return {a2, p};
}

}  // namespace

// One run of 50 values worked out apart: the intervals of the four indices
// (χ² from the printed table for ν = 49, Bissell's for Cpk and Ppk), the
// ppm counted and expected, and A² with its p-value, normal-looking and
// skewed; in the JSON as [lower, upper], in the CSV as two columns.
TEST(Statistics, IntervalsPpmAndNormalityAgreeWithAReferenceWorkedApart) {
    std::vector<int32_t> values;
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0, 12);
    for (int i = 0; i < 50; ++i) values.push_back(37000 + static_cast<int32_t>(noise(rng)));
    values[7] = 37031;  // above the upper limit
    SampleStatistics s;
    AddAll(s, values, Both(36970, 37030));
    Figures f = s.FiguresOf(0);
    s.CheckNormality(0, f);
    const Reference r = TwoPass(values);
    ASSERT_TRUE(f.hasCp && f.hasCpk && f.hasPp && f.hasPpk);
    const long double cp = 60 / (6 * r.within), pp = 60 / (6 * r.sigma);
    const long double cpk = std::min(37030 - r.mean, r.mean - 36970) / (3 * r.within);
    const long double ppk = std::min(37030 - r.mean, r.mean - 36970) / (3 * r.sigma);
    const long double lowRoot = std::sqrt(31.555L / 49), highRoot = std::sqrt(70.222L / 49);
    EXPECT_NEAR(f.cpLow, static_cast<double>(cp * lowRoot), 2e-4 * cp);
    EXPECT_NEAR(f.cpHigh, static_cast<double>(cp * highRoot), 2e-4 * cp);
    EXPECT_NEAR(f.ppLow, static_cast<double>(pp * lowRoot), 2e-4 * pp);
    EXPECT_NEAR(f.ppHigh, static_cast<double>(pp * highRoot), 2e-4 * pp);
    const auto bissell = [](long double k) {
        return 1.96L * std::sqrt(1 / (9.0L * 50) + k * k / (2.0L * 49));
    };
    EXPECT_NEAR(f.cpkLow, static_cast<double>(cpk - bissell(cpk)), 1e-9);
    EXPECT_NEAR(f.cpkHigh, static_cast<double>(cpk + bissell(cpk)), 1e-9);
    EXPECT_NEAR(f.ppkLow, static_cast<double>(ppk - bissell(ppk)), 1e-9);
    EXPECT_NEAR(f.ppkHigh, static_cast<double>(ppk + bissell(ppk)), 1e-9);
    const auto beyond = [&](auto outside) {
        return 1e6 * static_cast<double>(std::count_if(values.begin(), values.end(), outside)) / 50;
    };
    EXPECT_EQ(f.ppmAbove, beyond([](int32_t v) { return v > 37030; }));
    EXPECT_EQ(f.ppmBelow, beyond([](int32_t v) { return v < 36970; }));
    EXPECT_GT(f.ppmAbove, 0);
    const long double below = 0.5L * std::erfc((r.mean - 36970) / r.sigma / std::sqrt(2.0L));
    const long double above = 0.5L * std::erfc((37030 - r.mean) / r.sigma / std::sqrt(2.0L));
    EXPECT_NEAR(f.ppmExpectedBelow, static_cast<double>(1e6L * below), 1e-9 * 1e6L * below);
    EXPECT_NEAR(f.ppmExpectedAbove, static_cast<double>(1e6L * above), 1e-9 * 1e6L * above);
    ASSERT_TRUE(f.hasNormality) << f.normalityWhy;
    const auto [a2, p] = AdReference(std::vector<long double>(values.begin(), values.end()));
    EXPECT_NEAR(f.adA2, static_cast<double>(a2), 1e-9);
    EXPECT_NEAR(f.adP, static_cast<double>(p), 1e-9);
    EXPECT_GT(f.adP, 0.05) << "normal noise looks normal";

    // Skewed values: the check says so.
    SampleStatistics skewed;
    std::vector<int32_t> squares;
    for (int i = 1; i <= 60; ++i) squares.push_back(37000 + i * i / 10);
    AddAll(skewed, squares, Both(36970, 37400));
    Figures g = skewed.FiguresOf(0);
    skewed.CheckNormality(0, g);
    ASSERT_TRUE(g.hasNormality);
    const auto [a2s, ps] = AdReference(std::vector<long double>(squares.begin(), squares.end()));
    EXPECT_NEAR(g.adA2, static_cast<double>(a2s), 1e-9);
    EXPECT_NEAR(g.adP, static_cast<double>(ps), 1e-12);
    EXPECT_LT(g.adP, 0.05);

    char out[4096];
    ASSERT_GT(FiguresJson(out, sizeof out, "run", f, 0), 0);
    const std::string json = out;
    const std::size_t ci = json.find("\"cp_ci95\": [");
    ASSERT_NE(ci, std::string::npos) << json;
    EXPECT_EQ(std::strtod(json.c_str() + ci + 12, nullptr), f.cpLow);
    EXPECT_EQ(JsonNumber(json, "ad_p"), f.adP);
    EXPECT_EQ(JsonNumber(json, "ppm_expected_above"), f.ppmExpectedAbove);
    const std::string header = FiguresCsvHeader();
    EXPECT_NE(header.find(",Cpk 95% low,Cpk 95% high,"), std::string::npos) << header;
    ASSERT_GT(FiguresCsvRow(out, sizeof out, "run", f, 0), 0);
    const std::string row = out;
    EXPECT_EQ(std::count(row.begin(), row.end(), ','),
              std::count(header.begin(), header.end(), ','));

    // Too few values, or all alike: untold, with the reason.
    SampleStatistics few;
    AddAll(few, {37000, 37001, 37003}, Both(36970, 37030));
    Figures h = few.FiguresOf(0);
    few.CheckNormality(0, h);
    EXPECT_FALSE(h.hasNormality);
    EXPECT_STREQ(h.normalityWhy, "fewer than 8 values");
}

// Early in a run the 1-µm bins would stand as needles: the bars drawn merge
// them to about √n, never splitting a bin, and keep every count.
TEST(Statistics, HistogramBarsAreAboutTheRootOfNWide) {
    Histogram h;
    for (int i = 0; i < 26; ++i) h.Add(37000 + (i * 11) % 28);  // 26 values over 28 µm
    const Histogram::Bars bars = h.BarsToDraw();
    EXPECT_EQ(bars.counts.size(), 6u) << "ceil(sqrt(26)) = 6 bars of 5 bins";
    EXPECT_EQ(bars.widthUm, 5 * h.widthUm);
    uint64_t sum = 0;
    for (const uint64_t c : bars.counts) sum += c;
    EXPECT_EQ(sum, 26u);
    int first = 0, last = 0;
    h.Occupied(first, last);
    EXPECT_EQ(bars.startUm, h.originUm + first * h.widthUm);

    Histogram two;  // fewer bins than bars wanted: one bin a bar
    two.Add(37000);
    two.Add(37001);
    EXPECT_EQ(two.BarsToDraw().counts.size(), 2u);
    EXPECT_TRUE(Histogram().BarsToDraw().counts.empty());
}
