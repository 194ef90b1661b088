// What every layer above takes from the session as given: one way a time
// reads, and every subscriber hearing every sample.
#include "session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string Text(int64_t wallMs, WallStyle style) {
    char out[64];
    return WallTimeText(wallMs, style, out, sizeof out) > 0 ? out : "(none)";
}

// The zone of the test's own choosing, put back after it.
class Zone {
  public:
    explicit Zone(const char *tz) {
        if (const char *old = std::getenv("TZ")) old_ = old, had_ = true;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    std::string old_;
    bool had_ = false;
};

std::vector<int> g_called;
template <int N>
void Subscriber(const Sample &) {
    g_called.push_back(N);
}
template <int... N>
void SubscribeAll(std::integer_sequence<int, N...>, bool on) {
    for (SampleSubscriber each : {Subscriber<N>...}) {
        if (on)
            SubscribeSamples(each);
        else
            UnsubscribeSamples(each);
    }
}

}  // namespace

TEST(Session, EveryTimeReadsOneWayInEveryStyleAndZone) {
    {
        Zone utc("UTC0");
        const int64_t t = 1765173644123;  // 2025-12-08 06:00:44.123 UTC
        EXPECT_EQ(Text(t, WallStyle::Iso), "2025-12-08T06:00:44.123+00:00");
        EXPECT_EQ(Text(t, WallStyle::DateMs), "2025-12-08 06:00:44.123");
        EXPECT_EQ(Text(t, WallStyle::Date), "2025-12-08 06:00:44");
        EXPECT_EQ(Text(t, WallStyle::Clock), "06:00:44");
        // Before 1970 the milliseconds count back from the second before,
        // never as ".-01".
        EXPECT_EQ(Text(-1, WallStyle::DateMs), "1969-12-31 23:59:59.999");
        EXPECT_EQ(Text(-1000, WallStyle::DateMs), "1969-12-31 23:59:59.000");
        EXPECT_EQ(Text(-1001, WallStyle::Iso), "1969-12-31T23:59:58.999+00:00");
        // Too small a buffer gives nothing rather than a cut time.
        char small[10];
        EXPECT_EQ(WallTimeText(t, WallStyle::Date, small, sizeof small), 0u);
        EXPECT_STREQ(small, "");
    }
    // A zone half an hour off the hour keeps its minutes in the offset.
    Zone india("IST-5:30");
    EXPECT_EQ(Text(1765173644123, WallStyle::Iso), "2025-12-08T11:30:44.123+05:30");
}

TEST(Session, EverySubscriberHearsEverySampleInTheOrderItCame) {
    // More than a fixed list once held: the last ones were left out silently.
    const auto many = std::make_integer_sequence<int, 24>{};
    SubscribeAll(many, true);
    SubscribeSamples(Subscriber<3>);  // twice is once
    g_called.clear();
    PublishSample(Sample{});
    std::vector<int> expected(24);
    for (int i = 0; i < 24; ++i) expected[i] = i;
    EXPECT_EQ(g_called, expected);
    SubscribeAll(many, false);
    g_called.clear();
    PublishSample(Sample{});
    EXPECT_TRUE(g_called.empty());
}
