// Reply code 3 of model groups {4, 22} and {5, 12, 13}, on the buffer and
// on the record.
#include <gtest/gtest.h>

#include <cstdint>

#include "support/normalized_reply.h"

namespace kavrol::test::layouts {
namespace {

constexpr std::uint32_t kGroup4_22[] = {4, 22};
constexpr std::uint32_t kGroup5_12_13[] = {5, 12, 13};

// out 64..72 (code3Bytes[0..8]): the source byte, then bit 1 ORed with bit 0.
// The second set gives every one of the nine bytes bit 0 set and bit 1
// clear, so that each byte's own OR shows.
TEST(Group4_22, Code3BytesGetBitZeroOredIntoBitOne) {
    struct Set {
        std::uint8_t source[9];
        std::uint8_t expected[9];
    };
    const Set sets[] = {
        {{1, 2, 129, 0, 255, 254, 3, 85, 170}, {3, 2, 131, 0, 255, 254, 3, 87, 170}},
        {{1, 5, 9, 13, 17, 21, 25, 29, 253}, {3, 7, 11, 15, 19, 23, 27, 31, 255}},
    };
    for (const Set& set : sets) {
        Bytes payload = taggedPayload(40);
        for (unsigned i = 0; i < 9; ++i) payload[i] = set.source[i];  // r[6..14]
        for (std::uint32_t model : kGroup4_22) {
            SCOPED_TRACE(model);
            const Decoded d = decode(model, 3, 1, payload);
            const ReplyRecord rec = d.fields();
            for (unsigned i = 0; i < 9; ++i) {
                EXPECT_EQ(d.buffer[64 + i], set.expected[i]) << "r[" << 6 + i << "] = " << int(set.source[i]);
                EXPECT_EQ(rec.code3Bytes[i], set.expected[i]);
            }
        }
    }
}

// out 84 (code3Bytes[20]): bits 2..3 of r[27] to bits 0..1, bit 5 of r[28]
// to bit 2, bit 7 of r[28] to bit 3.
TEST(Group4_22, Code3BuildsByte84) {
    struct Case {
        std::uint8_t r27, r28, out84;
    };
    const Case cases[] = {{12, 160, 15}, {4, 128, 9}, {243, 95, 0}, {8, 32, 6}, {255, 255, 15}};
    for (std::uint32_t model : kGroup4_22) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << "model " << model << ", r[27] = " << int(c.r27) << ", r[28] = " << int(c.r28));
            const Decoded d = decode(model, 3, 1, taggedPayload(40, {{27, c.r27}, {28, c.r28}}));
            EXPECT_EQ(d.buffer[84], c.out84);
            EXPECT_EQ(d.fields().code3Bytes[20], c.out84);
        }
    }
}

TEST(Group4_22, Code3InRecordTerms) {
    for (std::uint32_t model : kGroup4_22) {
        SCOPED_TRACE(model);
        const Decoded d = decode(model, 3, 1, taggedPayload(40));
        const ReplyRecord rec = d.fields();
        for (unsigned i = 0; i < 32; ++i) EXPECT_EQ(rec.code3Words[i], 0) << i;
        for (unsigned i = 9; i <= 19; ++i) EXPECT_EQ(rec.code3Bytes[i], tag(6 + i)) << i;  // r[15..25]
        EXPECT_EQ(rec.code3Bytes[21], tag(29));
        for (unsigned i = 22; i <= 24; ++i) EXPECT_EQ(rec.code3Bytes[i], 0) << i;
        for (unsigned i = 0; i < 4; ++i) {
            EXPECT_EQ(rec.code3QuadA[i], 0);
            EXPECT_EQ(rec.code3QuadB[i], 0);
        }
        // out 97 onward keep the caller's bytes.
        EXPECT_EQ(rec.code3Words2[0], prefill(97, 0xA5) | prefill(98, 0xA5) << 8);
    }
}

TEST(Group4_22, Code3IgnoresR26) {
    for (std::uint32_t model : kGroup4_22) {
        const Decoded a = decode(model, 3, 1, taggedPayload(40, {{26, 0}}));
        const Decoded b = decode(model, 3, 1, taggedPayload(40, {{26, 255}}));
        EXPECT_EQ(a.buffer, b.buffer) << model;
    }
}

TEST(Group5_12_13, Code3InRecordTerms) {
    for (std::uint32_t model : kGroup5_12_13) {
        SCOPED_TRACE(model);
        const Decoded d = decode(model, 3, 1, taggedPayload(40));
        EXPECT_EQ(d.buffer[0], tag(16));
        EXPECT_EQ(d.buffer[64], tag(6));
        const ReplyRecord rec = d.fields();
        for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(rec.code3Words[i], tag(16 + 2 * i) | tag(17 + 2 * i) << 8) << i;
        for (unsigned i = 4; i < 32; ++i) EXPECT_EQ(rec.code3Words[i], 0) << i;
        for (unsigned i = 0; i <= 9; ++i) EXPECT_EQ(rec.code3Bytes[i], tag(6 + i)) << i;
        for (unsigned i = 10; i < 25; ++i) EXPECT_EQ(rec.code3Bytes[i], 0) << i;
        for (unsigned i = 0; i < 4; ++i) {
            EXPECT_EQ(rec.code3QuadA[i], 0);
            EXPECT_EQ(rec.code3QuadB[i], 0);
        }
    }
}

}  // namespace
}  // namespace kavrol::test::layouts
