// Numbers and routes as both tools read them from a command line.
#include <gtest/gtest.h>

#include "common/number_list.h"

namespace kavrol::tools {
namespace {

TEST(ToolsNumbers, ReadsDecimalAndHexAndTellsTooLargeFromNotANumber) {
    struct Case {
        const char* text;
        std::uint64_t max;
        std::optional<std::uint64_t> value;
        const char* mentions;  // the reason when refused
    };
    const Case cases[] = {
        {"0", 255, 0, ""},
        {"255", 255, 255, ""},
        {"0xff", 255, 255, ""},
        {" 7 ", 255, 7, ""},
        {"010", 255, 10, ""},  // no octal
        {"256", 255, std::nullopt, "too large (at most 255)"},
        {"0x100", 255, std::nullopt, "too large"},
        {"18446744073709551616", UINT64_MAX, std::nullopt, "too large"},
        {"-1", 255, std::nullopt, "not a number"},
        {"", 255, std::nullopt, "not a number"},
        {"0x", 255, std::nullopt, "not a number"},
        {"12a", 255, std::nullopt, "not a number"},
        {"1 2", 255, std::nullopt, "not a number"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(parseNumber(c.text, c.max, &error), c.value) << "'" << c.text << "'";
        if (!c.value) {
            EXPECT_NE(error.find(c.mentions), std::string::npos) << c.text << ": " << error;
        }
    }
}

TEST(ToolsNumbers, RoutesTakeOneToNineBytesWithOrWithoutSpaces) {
    struct Case {
        const char* text;
        std::optional<Bytes> route;
    };
    const Case cases[] = {
        {"1,5", Bytes{1, 5}},
        {"1, 5", Bytes{1, 5}},
        {" 0x10 ,255", Bytes{0x10, 0xFF}},
        {"1,2,3,4,5,6,7,8,9", Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"1,2,3,4,5,6,7,8,9,10", std::nullopt},
        {"", std::nullopt},
        {"  ", std::nullopt},
        {"1,,5", std::nullopt},
        {"1,", std::nullopt},
        {"256", std::nullopt},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto route = parseRoute(c.text, &error);
        EXPECT_EQ(route, c.route) << "'" << c.text << "'";
        if (!c.route) {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
}

}  // namespace
}  // namespace kavrol::tools
