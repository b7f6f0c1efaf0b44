#include <gtest/gtest.h>
#include "qlframe.h"
#include "TestSupport.h"

using testing_support::Moment;

namespace {

const double kHour = 3600 * RealTime::Second;


// UTC+1 with summer time (+2) from the last Sunday of March 02:00 to the last Sunday of
// October 03:00.
TIME_ZONE_INFORMATION CentralEurope() {
    TIME_ZONE_INFORMATION tzi = {};
    tzi.Bias = -60;
    tzi.StandardBias = 0;
    tzi.DaylightBias = -60;
    tzi.StandardDate = Moment(0, 10, 5, 3, 0, 0);
    tzi.DaylightDate = Moment(0, 3, 5, 2, 0, 0);
    return tzi;
}

typedef ::testing::Test Time;
}  // namespace

TEST_F(Time, SystemTimeConversionRoundTrips) {
    SYSTEMTIME in = Moment(2009, 3, 3, 9, 5, 7, 250);
    RealTime t(in);
    EXPECT_TRUE(bool(t));
    SYSTEMTIME out = t;
    EXPECT_EQ(2009, out.wYear);
    EXPECT_EQ(3, out.wMonth);
    EXPECT_EQ(3, out.wDay);
    EXPECT_EQ(2, out.wDayOfWeek) << "3 March 2009 was a Tuesday";
    EXPECT_EQ(9, out.wHour);
    EXPECT_EQ(5, out.wMinute);
    EXPECT_EQ(7, out.wSecond);
    EXPECT_EQ(250, out.wMilliseconds);
    RealTime later = t + RealTime(90 * RealTime::Second);
    EXPECT_TRUE(later > t);
    EXPECT_EQ(90 * RealTime::Second, (later - t).value) << "a difference is a span in 100 ns units";
    EXPECT_FALSE(bool(RealTime())) << "a default time is not set";
}

TEST_F(Time, StoredFormReadsBackToTheSecond) {
    RealTime t(Moment(2024, 2, 29, 23, 59, 58, 999));
    string stored = Format(0, t, true, false);
    EXPECT_EQ("2024-02-29 23:59:58", stored.str());
    RealTime back = ScanDateTime(0, stored.c_str(), true, nullptr);
    EXPECT_EQ(RealTime(Moment(2024, 2, 29, 23, 59, 58)).value, back.value)
        << "the moment comes back with only its milliseconds dropped";

    unsigned end = 0;
    RealTime first = ScanDateTime(0, "2009-03-03 09:05:07\t12", false, &end);
    EXPECT_EQ(RealTime(Moment(2009, 3, 3, 9, 5, 7)).value, first.value);
    EXPECT_EQ(19u, end) << "end points after the moment read";
}

TEST_F(Time, ScanRejectsWhatIsNoMoment) {
    const char* bad[] = {"", "2009-03-03", "2009-13-01 00:00:00", "2009-02-30 10:00:00", "2009-03-03 24:00:00",
                         "yesterday", "2009-03-03 09:05:07 extra"};
    for (const char* text : bad)
        EXPECT_THROW(ScanDateTime(0, text, true, nullptr), InvalidValue) << "\"" << text << "\"";
    EXPECT_THROW(ScanDateTime(0, nullptr, true, nullptr), DateTimeSyntax);
}

TEST_F(Time, OperatorFormShowsDateAndTimeParts) {
    RealTime t(Moment(2009, 3, 3, 9, 5, 7));
    EXPECT_EQ("03.03.2009", Format(2, t, true, false).str());
    EXPECT_EQ("09:05:07", Format(2, t, false, true).str());
    EXPECT_EQ("03.03.2009 09:05:07", Format(2, t, true, true).str());
}

TEST_F(Time, UtcAndLocalFollowTheZone) {
    testing_support::FixedZone zone(-180);
    RealTime local(Moment(2009, 3, 3, 1, 30, 0, 125));
    RealTime utc = local.UTC();
    EXPECT_EQ(-3 * kHour, (utc - local).value) << "UTC is three hours behind";
    SYSTEMTIME st = utc;
    EXPECT_EQ(2, st.wDay) << "the day changes backwards";
    EXPECT_EQ(22, st.wHour);
    EXPECT_EQ(125, st.wMilliseconds);
    EXPECT_EQ(local.value, utc.Local().value) << "Local undoes UTC";
}

TEST_F(Time, UtcHonoursSummerTime) {
    testing_support::FixedZone zone;
    zone.Set(TIME_ZONE_ID_STANDARD, CentralEurope());
    RealTime winter(Moment(2021, 1, 15, 12, 0, 0));
    RealTime summer(Moment(2021, 7, 15, 12, 0, 0));
    EXPECT_EQ(-1 * kHour, (winter.UTC() - winter).value);
    EXPECT_EQ(-2 * kHour, (summer.UTC() - summer).value);
    EXPECT_EQ(summer.value, summer.UTC().Local().value);
}

TEST_F(Time, DateClearsTheTimeOfDay) {
    RealTime t(Moment(2009, 3, 3, 23, 59, 59, 999));
    SYSTEMTIME d = t.Date();
    EXPECT_EQ(2009, d.wYear);
    EXPECT_EQ(3, d.wDay);
    EXPECT_EQ(0, d.wHour);
    EXPECT_EQ(0, d.wMinute);
    EXPECT_EQ(0, d.wSecond);
    EXPECT_EQ(0, d.wMilliseconds);
    EXPECT_EQ(t.Date().value, RealTime(Moment(2009, 3, 3, 0, 0, 0, 1)).Date().value);
}

TEST_F(Time, NowComesFromTheReplaceableClock) {
    {
        testing_support::FixedClock clock(Moment(2009, 3, 3, 9, 5, 7));
        EXPECT_EQ(RealTime(Moment(2009, 3, 3, 9, 5, 7)).value, RealTime::Now().value);
    }
    SYSTEMTIME st;
    GetLocalTime(&st);
    double drift = RealTime::Now().value - RealTime(st).value;
    EXPECT_LT(drift < 0 ? -drift : drift, 60 * RealTime::Second) << "the restored clock is the system's local time";
}
