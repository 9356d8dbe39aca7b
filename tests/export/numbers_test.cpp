#include "base/day.h"
#include "export/numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

namespace dotz {
namespace {

struct Case
{
    double value;
    const char* text;
};

TEST(Numbers, GeneralTextForm)
{
    const Case cases[] = {
        {0, "0"},
        {-0.0, "0"},
        {150, "150"},
        {2.5, "2,5"},
        {0.5, "0,5"},
        {-0.5, "-0,5"},
        {123, "123"},
        {1234.5, "1234,5"},
        {0.1 + 0.2, "0,3"}, // 15 significant digits hide the binary noise
        {1.0 / 3, "0,333333333333333"},
        {0.00001, "0,00001"},
        {0.0000015, "1,5E-6"},
        {999999999999999, "999999999999999"},
        {1e15, "1E15"},
        {1.5e20, "1,5E20"},
        {-42, "-42"},
        {19.8, "19,8"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(generalText(c.value), c.text) << c.value;
}

TEST(Numbers, AmountRoundsHalfAwayFromZeroOnTheDecimalValue)
{
    const Case cases[] = {
        {1234.5, "1234.50"},
        {0, "0.00"},
        {-3.2, "-3.20"},
        {19.8, "19.80"},
        {9.9, "9.90"},
        {0.005, "0.01"},
        {-0.005, "-0.01"},
        {1.005, "1.01"},
        {2.675, "2.68"},
        {-0.5, "-0.50"},
        {0.004, "0.00"},
        {-0.004, "0.00"},
        {0.0001, "0.00"},
        {9.995, "10.00"},
        {99.999, "100.00"},
        {12.9, "12.90"},
        {1e-20, "0.00"},
        {123456789.125, "123456789.13"},
        {1e20, "100000000000000000000.00"},
        {0.015, "0.02"},
        {1.115, "1.12"},
        {-2.675, "-2.68"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(amountText(c.value), c.text) << c.value;
}

// Every hundredths a column can hold, near zero wholly, then spread to both ends.
TEST(Numbers, HundredthsGiveTheBytesTheirDoubleGives)
{
    std::vector<int32_t> values;
    for (int32_t h = -300000; h <= 300000; ++h)
        values.push_back(h);
    for (int64_t h = 300001; h <= INT32_MAX; h += 9973 + h / 1000)
        values.insert(values.end(), {static_cast<int32_t>(h), static_cast<int32_t>(-h)});
    values.insert(values.end(), {INT32_MAX, INT32_MIN + 1});
    char a[kMaxNumberText], b[kMaxNumberText];
    for (const int32_t h : values) {
        const double v = static_cast<double>(h) / 100;
        ASSERT_EQ(std::string_view(a, putGeneralHundredths(a, h)),
                  std::string_view(b, putGeneralText(b, v)))
            << h;
        ASSERT_EQ(std::string_view(a, putAmountHundredths(a, h)),
                  std::string_view(b, putAmountText(b, v)))
            << h;
    }
}

TEST(Day, ParsesBothFormsAndRefusesImpossibleDates)
{
    EXPECT_EQ(Day::parse("2024-03-15")->regional(), "15/03/2024");
    EXPECT_EQ(Day::parse("15/03/2024")->iso(), "2024-03-15");
    EXPECT_EQ(Day::parse("29/02/2024")->compact(), "20240229");
    for (const char* bad : {"31/02/2024", "29/02/2023", "2024-13-01", "2024-3-15", "", "15/03/24",
                            "aa/bb/cccc", "2024-03-15x", "00/01/2024"})
        EXPECT_FALSE(Day::parse(bad)) << bad;
}

TEST(Day, CountsFromThePlatformEpoch)
{
    EXPECT_EQ(Day::fromYmd(1899, 12, 30)->serial(), 0);
    EXPECT_EQ(Day::fromYmd(1900, 1, 1)->serial(), 2);
    EXPECT_EQ(Day::fromYmd(2024, 3, 15)->serial(), 45366);
    EXPECT_EQ(Day::fromYmd(2024, 2, 28)->next().iso(), "2024-02-29");
    EXPECT_EQ(Day::fromYmd(2024, 12, 31)->next().iso(), "2025-01-01");
}

} // namespace
} // namespace dotz
