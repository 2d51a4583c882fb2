#include "common/text_format.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>

#include "platform/clock.h"

namespace {

// The C library's printf family differs between systems (mingw's own or
// msvcrt's); the sizes and 64-bit numbers the logs print must come out whole.
TEST(FormatText, SizesAndWideNumbersAndLongTexts) {
    EXPECT_EQ(FormatText("%zu|%lld|%llu|%s", static_cast<std::size_t>(4000000000u), -9000000000LL,
                         18446744073709551615ULL, "x"),
              "4000000000|-9000000000|18446744073709551615|x");
    const std::string big(5000, 'a');
    EXPECT_EQ(FormatText("<%s>", big.c_str()), "<" + big + ">");
    EXPECT_EQ(FormatText("%s", ""), "");
}

// ctime()'s layout, built without strftime's %e (absent from msvcrt): the
// day of the month padded with a space, a newline at the end.
TEST(CtimeText, LayoutOfSingleAndDoubleDigitDays) {
    const std::regex layout("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                            "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                            "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n");
    // 1973-09-05 11:00 UTC and 1973-09-25 11:00 UTC.
    for (std::int64_t seconds : {116074800LL, 117802800LL}) {
        const std::string text = CtimeText(seconds);
        EXPECT_TRUE(std::regex_match(text, layout)) << text;
        const std::tm local = platform::toLocalTime(seconds);
        const std::string day = local.tm_mday < 10 ? " " + std::to_string(local.tm_mday)
                                                   : std::to_string(local.tm_mday);
        EXPECT_EQ(text.substr(8, 2), day) << text;
        EXPECT_EQ(text.substr(20, 4), std::to_string(local.tm_year + 1900)) << text;
    }
}

}  // namespace
