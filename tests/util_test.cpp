// ShiftMask and Get_Version.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kavrol32/kavrol32.h"

namespace {

struct ShiftCase {
    const char* name;
    std::int32_t value;
    std::uint32_t maskA;
    std::uint32_t maskB;
    std::uint32_t count;
    std::uint32_t direction;
    std::uint32_t expected;
};

constexpr std::uint32_t kAll = 0xFFFFFFFFU;

const ShiftCase kShiftCases[] = {
    {"RightMasked", 0x5678, 0xF0, 0x0F, 8, 0, 0x56},
    {"RightCopiesSignBit", -256, kAll, 0, 4, 0, static_cast<std::uint32_t>(-16)},
    {"LeftIntoBit31", 1, 0, kAll, 31, 1, 0x80000000U},
    {"LeftCountModulo32", 1, 0, kAll, 33, 1, 2},
    {"LeftCount32IsZero", 0x1234, kAll, 0, 32, 1, 0x1234},
    {"RightCount32IsZero", -5, kAll, 0, 32, 0, static_cast<std::uint32_t>(-5)},
    {"RightCount0OfNegative", INT32_MIN, kAll, 0, 0, 0, 0x80000000U},
    {"RightCount31OfMostNegative", INT32_MIN, kAll, 0, 31, 0, kAll},
    {"RightCount31OfPositive", INT32_MAX, kAll, 0, 31, 0, 0},
    {"RightOfZeroStaysZero", 0, kAll, 0, 4, 0, 0},
    {"RightCount1OfNegative", -2, kAll, 0, 1, 0, kAll},
    {"RightCount63IsModulo", -2, kAll, 0, 63, 0, kAll},
    {"LeftDropsHighBits", -1, kAll, 0, 4, 1, 0xFFFFFFF0U},
    {"LeftOfNegativeIntoSign", 0x40000000, kAll, 0, 1, 1, 0x80000000U},
    {"Direction2DoesNotShift", 0x5678, 0x0F, 0xF0, 4, 2, 0x78},
    {"DirectionHugeDoesNotShift", 0x5678, kAll, 0, 4, 0x80000001U, 0x5678},
    {"MasksAreOred", 0x12345678, 0xFF000000U, 0x000000FFU, 0, 1, 0x12000078U},
    {"TwoZeroMasks", -1, 0, 0, 0, 2, 0},
    {"TwoZeroMasksAfterShift", 0x7FFFFFFF, 0, 0, 3, 0, 0},
};

class ShiftMaskTest : public ::testing::TestWithParam<ShiftCase> {};

TEST_P(ShiftMaskTest, ShiftsAndMasks) {
    const ShiftCase& c = GetParam();
    EXPECT_EQ(static_cast<std::uint32_t>(ShiftMask(c.value, c.maskA, c.maskB, c.count, c.direction)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Examples, ShiftMaskTest, ::testing::ValuesIn(kShiftCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(Version, Is20) { EXPECT_EQ(Get_Version(), 20); }

}  // namespace
