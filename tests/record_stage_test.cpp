// The record stage: fillReplyRecord parses the normalized buffer into the
// pinned fields of the caller's record, one region per reply code.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "reply/record_stage.h"
#include "support/byte_compare.h"
#include "support/caller_objects.h"
#include "support/record_map.h"

namespace kavrol::test {
namespace {

constexpr std::uint8_t kParsedCodes[] = {1, 2, 3, 5, 6};

void fillRecord(std::uint8_t code, CallerObjects& o) { reply::fillReplyRecord(code, o.buffer.data(), o.record.data()); }

// buffer[k] = k + 1 (mod 256): every field value tells where it came from.
void fillCounting(CallerObjects& o) {
    for (std::size_t k = 0; k < o.buffer.size(); ++k) o.buffer[k] = static_cast<std::uint8_t>(k + 1);
}

TEST(RecordStage, EachCodeWritesExactlyItsRegionByteForByte) {
    for (std::uint8_t code : kParsedCodes) {
        for (std::uint8_t prefill : std::initializer_list<std::uint8_t>{std::uint8_t{0x5A}, std::uint8_t{0xA5}}) {
            SCOPED_TRACE("reply code " + std::to_string(code));
            CallerObjects o;
            o.fill(0, prefill);
            for (std::size_t k = 0; k < o.buffer.size(); ++k) o.buffer[k] = static_cast<std::uint8_t>(k * 11 + 5);
            const std::vector<std::uint8_t> before(o.record.begin(), o.record.end());
            const std::vector<std::uint8_t> buffer(o.buffer.begin(), o.buffer.end());
            fillRecord(code, o);
            EXPECT_TRUE(sameBytes(expectedRecord(code, buffer.data(), before), o.record));
            EXPECT_TRUE(sameBytes(buffer, o.buffer)) << "the stage only reads the buffer";
        }
    }
}

TEST(RecordStage, OtherReplyCodesLeaveTheRecordUntouched) {
    CallerObjects o;
    o.fill(0x77, 0x3C);
    for (unsigned code = 0; code <= 255; ++code) {
        if (code == 1 || code == 2 || code == 3 || code == 5 || code == 6) continue;
        fillRecord(static_cast<std::uint8_t>(code), o);
        ASSERT_TRUE(allEqual(o.record, 0x3C)) << "reply code " << code;
    }
}

// Fields are composed low byte first from the buffer positions of the
// record table.
TEST(RecordStage, FieldsComposeLowByteFirstFromTheirBufferPositions) {
    CallerObjects o;
    o.fill(0, 0);
    for (std::uint8_t code : kParsedCodes) {
        fillCounting(o);
        fillRecord(code, o);
    }
    const ReplyRecord& f = o.fields();
    struct Expect {
        const char* field;
        std::uint32_t actual;
        std::uint32_t expected;
    };
    const Expect table[] = {
        // code 1, buffer 1..20 at 0..19
        {"code1Word0", f.code1Word0, 2 * 256 + 1},
        {"code1Word4", f.code1Word4, 10 * 256 + 9},
        {"code1Word9", f.code1Word9, 20 * 256 + 19},
        // code 2
        {"code2Word0", f.code2Word0, 0x0201},
        {"code2Bits[0]", f.code2Bits[0], 0x0403},
        {"code2Bits[7]", f.code2Bits[7], 0x1211},
        {"code2Word1", f.code2Word1, 0x1413},
        {"code2Word5", f.code2Word5, 0x1C1B},
        // code 3
        {"code3Words[0]", f.code3Words[0], 0x0201},
        {"code3Words[31]", f.code3Words[31], 0x403F},
        {"code3Bytes[0]", f.code3Bytes[0], 65},
        {"code3Bytes[24]", f.code3Bytes[24], 89},
        {"code3QuadA[0]", f.code3QuadA[0], 90},
        {"code3QuadB[3]", f.code3QuadB[3], 97},
        {"code3Words2[0]", f.code3Words2[0], 0x6362},
        {"code3Words2[7]", f.code3Words2[7], 0x7170},
        {"code3QuadC[0]", f.code3QuadC[0], 114},
        {"code3QuadC[3]", f.code3QuadC[3], 117},
        {"code3Longs[0]", f.code3Longs[0], 0x79787776U},
        {"code3Longs[49]", f.code3Longs[49], 0x3D3C3B3AU},
        // code 5
        {"code5Pair0[0]", f.code5Pair0[0], 0x0201},
        {"code5Pair0[1]", f.code5Pair0[1], 0x0403},
        {"code5Pair4[1]", f.code5Pair4[1], 0x1413},
        // code 6
        {"code6Word0", f.code6Word0, 0x0201},
        {"code6Word1", f.code6Word1, 0x0403},
        {"code6Pair0[0]", f.code6Pair0[0], 0x0605},
        {"code6Pair5[1]", f.code6Pair5[1], 0x1C1B},
        {"code6Word2", f.code6Word2, 0x1E1D},
    };
    for (const Expect& e : table) EXPECT_EQ(e.actual, e.expected) << e.field;
}

TEST(RecordStage, Code3LongTakesByte117AsItsLowestByte) {
    CallerObjects o;
    o.fill(0, 0xEE);
    o.buffer[117] = 0x11;
    o.buffer[118] = 0x22;
    o.buffer[119] = 0x33;
    o.buffer[120] = 0x44;
    fillRecord(3, o);
    EXPECT_EQ(o.fields().code3Longs[0], 0x44332211U);
    EXPECT_EQ(o.record[97], 0xEE);
    EXPECT_EQ(o.record[118], 0xEE);
    EXPECT_EQ(o.record[119], 0xEE);
}

// The five regions are disjoint: a record kept across calls holds the latest
// reply of each code side by side.
TEST(RecordStage, RegionsAreDisjointAndGapsStayUnwritten) {
    CallerObjects o;
    o.fill(0, 0x00);
    for (std::uint8_t code : std::initializer_list<std::uint8_t>{3, 1, 6, 2, 5}) {
        o.buffer.fill(static_cast<std::uint8_t>(code * 0x11));
        fillRecord(code, o);
    }
    struct Region {
        unsigned first, last;
        std::uint8_t value;
    };
    const Region regions[] = {
        {0, 96, 0x33},    {97, 97, 0x00},   {98, 117, 0x33},  {118, 119, 0x00}, {120, 319, 0x33},
        {320, 339, 0x11}, {340, 369, 0x66}, {370, 397, 0x22}, {398, 417, 0x55},
    };
    auto check = [&](const char* when) {
        for (const Region& g : regions) {
            EXPECT_TRUE(allEqual(std::span(o.record).subspan(g.first, g.last - g.first + 1), g.value))
                << when << ": record " << g.first << ".." << g.last;
        }
        EXPECT_TRUE(allEqual(o.recordGuard(), 0x00)) << when << ": past byte 417";
    };
    check("after codes 3, 1, 6, 2, 5");

    // A later code-1 reply replaces only its own region.
    o.buffer.fill(0x77);
    fillRecord(1, o);
    for (unsigned k = 320; k <= 339; ++k) EXPECT_EQ(o.record[k], 0x77) << k;
    std::fill(o.record.begin() + 320, o.record.begin() + 340, std::uint8_t{0x11});
    check("after a second code 1");
}

}  // namespace
}  // namespace kavrol::test
