// The listing line, field by field, and its date column.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <ctime>
#include <limits>
#include <string>

#include "ftp/listing.h"

namespace {

constexpr int64_t kDay = 24 * 60 * 60;

// A local time built the way the listing reads it back.
int64_t LocalTime(int year, int month, int day, int hour, int minute)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&t));
}

const int64_t kMarch7 = LocalTime(2023, 3, 7, 9, 5);

// Everything between "group" and the date column.
std::string SizeColumn(uint64_t size)
{
    const std::string line = FormatListingLine("f", false, size, kMarch7, kMarch7);
    const size_t start = line.find("group") + 5;
    return line.substr(start, line.find(" Mar ") - start);
}

}  // namespace

TEST(ListingLine, FieldsOfAFileAndAFolder)
{
    EXPECT_EQ(FormatListingLine("scan0001.pdf", false, 154321, kMarch7, kMarch7 + 60),
              "-rwx------ 1 user group        154321 Mar 07 09:05 scan0001.pdf\r\n");
    EXPECT_EQ(FormatListingLine("archive", true, 0, kMarch7, kMarch7 + 400 * kDay),
              "drwx------ 1 user group             0 Mar 07 2023 archive\r\n");
}

TEST(ListingLine, SizeIsRightAlignedInFourteenColumns)
{
    EXPECT_EQ(SizeColumn(0), std::string(13, ' ') + "0");
    EXPECT_EQ(SizeColumn(12345678901234ULL), "12345678901234");
    EXPECT_EQ(SizeColumn(5368709120ULL), "    5368709120");  // 5 GiB, not cut at 32 bits
    EXPECT_EQ(SizeColumn(std::numeric_limits<uint64_t>::max()), "18446744073709551615");
}

TEST(ListingLine, NameIsKeptAsGiven)
{
    const std::string line = FormatListingLine("스캔 01.PDF", false, 1, kMarch7, kMarch7);
    EXPECT_EQ(line.substr(line.size() - 15), "스캔 01.PDF\r\n");
}

TEST(ListingTime, TimeOfDayUpTo356DaysThenYear)
{
    const std::string recent = FormatListingTime(kMarch7, kMarch7 + 356 * kDay);
    const std::string older = FormatListingTime(kMarch7, kMarch7 + 357 * kDay);
    EXPECT_EQ(recent, " Mar 07 09:05 ");
    EXPECT_EQ(older, " Mar 07 2023 ");
    EXPECT_EQ(FormatListingTime(kMarch7, kMarch7 + 357 * kDay - 1), recent);
}

TEST(ListingTime, FutureDatesShowTheTimeOfDay)
{
    EXPECT_EQ(FormatListingTime(kMarch7, kMarch7 - 5 * 365 * kDay), " Mar 07 09:05 ");
}

TEST(ListingTime, EveryMonthAndTwoDigitDays)
{
    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 1; m <= 12; ++m) {
        const int64_t t = LocalTime(2021, m, 1, 0, 0);
        EXPECT_EQ(FormatListingTime(t, t), " " + std::string(months[m - 1]) + " 01 00:00 ");
    }
    const int64_t late = LocalTime(2021, 12, 31, 23, 59);
    EXPECT_EQ(FormatListingTime(late, late + 2000 * kDay), " Dec 31 2021 ");
}

TEST(ListingTime, TimesBeyondTheCalendarShowAsTheEpoch)
{
    const int64_t far = std::numeric_limits<int64_t>::max();
    const int64_t past = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(FormatListingTime(far, kMarch7), FormatListingTime(0, 0));
    EXPECT_EQ(FormatListingTime(past, kMarch7), FormatListingTime(0, kMarch7));
}

TEST(ListingTime, MonthsStayEnglishInAnotherLocale)
{
    // The Korean locale names its months otherwise ("5월"); tools/install-deps.sh generates it.
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "ko_KR.UTF-8"), nullptr) << "ko_KR.UTF-8 is not generated";
    const int64_t may = LocalTime(2022, 5, 3, 8, 0);
    const std::string column = FormatListingTime(may, may);
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(column, " May 03 08:00 ");
}
