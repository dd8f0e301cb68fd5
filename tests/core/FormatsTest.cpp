#include <gtest/gtest.h>

#include <cstdlib>

#include "core/VolumeDescriptor.h"
#include "scan/Formats.h"

using namespace vel;

TEST(SizeText, Thresholds) {
    EXPECT_EQ(sizeText(1073741824LL), "1.00 GB");
    EXPECT_EQ(sizeText(1073741823LL), "1024.00 MB");
    EXPECT_EQ(sizeText(1048576), "1.00 MB");
    EXPECT_EQ(sizeText(1536), "1.50 KB");
    EXPECT_EQ(sizeText(1024), "1.00 KB");
    EXPECT_EQ(sizeText(1023), "1023 Bytes");
    EXPECT_EQ(sizeText(0), "0 Bytes");
    EXPECT_EQ(sizeText(5LL << 40), "5120.00 GB");
}

TEST(DateText, TwelveHourClockWithNoonPmAndMidnightAm) {
    EXPECT_EQ(dateText({2021, 3, 4, 12, 30, 0}), "03/04/2021  12:30 PM");
    EXPECT_EQ(dateText({2021, 3, 4, 0, 15, 0}), "03/04/2021  12:15 AM");
    EXPECT_EQ(dateText({2021, 3, 4, 11, 59, 0}), "03/04/2021  11:59 AM");
    EXPECT_EQ(dateText({2021, 3, 4, 23, 59, 0}), "03/04/2021  11:59 PM");
    EXPECT_EQ(dateText({1999, 12, 31, 13, 5, 0}), "12/31/1999  01:05 PM");
    EXPECT_EQ(dateOnlyText({2020, 2, 29, 0, 0, 0}), "02/29/2020 ");
    // Values from damaged time stamps still come out as the printf form would give them.
    EXPECT_EQ(dateText({}), "00/00/0  12:00 AM");
    EXPECT_EQ(dateText({10000, 1, 2, 3, 4, 0}), "01/02/10000  03:04 AM");
    EXPECT_EQ(dateText({-5, 1, 2, 3, 4, 0}), "01/02/-5  03:04 AM");
    EXPECT_EQ(dateText({2021, 100, 2, 3, 4, 0}), "100/02/2021  03:04 AM");
    EXPECT_EQ(dateText({2021, 1, 2, 3, -4, 0}), "01/02/2021  03:-4 AM");
    EXPECT_EQ(dateOnlyText({7, 1, 2, 0, 0, 0}), "01/02/7 ");
}

TEST(DateText, FiletimeIsShownInLocalTime) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    // 2020-02-29 12:00:00 UTC
    std::uint64_t ft = (1582977600ULL + 11644473600ULL) * 10000000ULL;
    CalendarTime utc = filetimeToLocal(ft);
    EXPECT_EQ(dateText(utc), "02/29/2020  12:00 PM");
    ::setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    ::tzset();
    EXPECT_EQ(dateText(filetimeToLocal(ft)), "02/29/2020  07:00 AM");
    // Summer: daylight saving applies to that date.
    std::uint64_t july = (1594814400ULL + 11644473600ULL) * 10000000ULL;  // 2020-07-15 12:00 UTC
    EXPECT_EQ(dateText(filetimeToLocal(july)), "07/15/2020  08:00 AM");
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

TEST(LeadingNumber, ReadsDigitsAfterSignAndBlanks) {
    EXPECT_EQ(leadingNumber("512000  MB"), 512000);
    EXPECT_EQ(leadingNumber("  -5000x"), -5000);
    EXPECT_EQ(leadingNumber("+12"), 12);
    EXPECT_EQ(leadingNumber("MB"), 0);
    EXPECT_EQ(leadingNumber(""), 0);
    EXPECT_EQ(leadingNumber("99999999999999999999999"), INT64_MAX);
    EXPECT_TRUE(equalsIgnoreCase("eXFAT", "ExFat"));
    EXPECT_TRUE(startsWithIgnoreCase("FAT64", "fat"));
    EXPECT_FALSE(startsWithIgnoreCase("FA", "fat"));
    EXPECT_EQ(trim("  a b \t"), "a b");
}
