// Reply code 3 of model groups {6} and {18} (with its two variants), on the
// buffer and on the record.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "support/fake_fixture.h"
#include "support/normalized_reply.h"

namespace kavrol::test::layouts {
namespace {

TEST(Group6, Code3InRecordTerms) {
    const Decoded d = decode(6, 3, 1, taggedPayload(60));
    const ReplyRecord rec = d.fields();
    for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(rec.code3Words[i], tag(6 + 2 * i) | tag(7 + 2 * i) << 8) << i;
    for (unsigned i = 16; i < 32; ++i) EXPECT_EQ(rec.code3Words[i], 0) << i;
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(rec.code3Bytes[i], tag(38 + i)) << i;
    for (unsigned i = 4; i < 25; ++i) EXPECT_EQ(rec.code3Bytes[i], 0) << i;
    EXPECT_EQ(rec.code3QuadA[0], tag(42));
    EXPECT_EQ(rec.code3QuadA[1], tag(43));
    EXPECT_EQ(rec.code3QuadA[2], 0);
    EXPECT_EQ(rec.code3QuadA[3], 0);
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(rec.code3QuadB[i], 0);
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(rec.code3Words2[i], tag(44 + i)) << i;  // widened
    // out 105 onward keep the caller's bytes, and so do the fields they feed.
    EXPECT_EQ(d.buffer[105], prefill(105, 0xA5));
    EXPECT_EQ(rec.code3Words2[4], prefill(105, 0xA5) | prefill(106, 0xA5) << 8);
    EXPECT_EQ(rec.code3Longs[0], d.u32(117));
}

// Model 18, reply code 3: the common part, then variant A (bit 1 of r[12]
// set) or B (clear). In code3Longs terms, element i, bytes low to high.
TEST(Group18, Code3VariantsInRecordTerms) {
    for (std::uint8_t r12 : std::initializer_list<std::uint8_t>{2, 255, 0, 253}) {
        SCOPED_TRACE(int(r12));
        const bool variantA = (r12 & 2) != 0;
        const Decoded d = decode(18, 3, 0, taggedPayload(250, {{12, r12}}));
        const ReplyRecord rec = d.fields();
        for (unsigned k = 0; k <= 116; ++k) EXPECT_EQ(d.buffer[k], 0) << k;
        EXPECT_EQ(d.buffer[195], tag(13));
        EXPECT_EQ(d.buffer[196], r12);
        using Quad = std::array<std::uint8_t, 4>;
        auto quad = [](unsigned j) { return Quad{tag(j), tag(j + 1), tag(j + 2), tag(j + 3)}; };
        auto expectElement = [&](unsigned i, Quad bytes) {
            const std::uint32_t v = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                    std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
            EXPECT_EQ(rec.code3Longs[i], v) << "code3Longs[" << i << "]";
        };
        for (unsigned i = 0; i <= 17; ++i) expectElement(i, quad(59 + 4 * i));
        expectElement(18, {tag(131), 0, 0, 0});
        expectElement(19, {tag(132), tag(133), tag(13), r12});
        if (variantA) {
            for (unsigned i = 20; i <= 24; ++i) expectElement(i, quad(134 + 4 * (i - 20)));
            expectElement(25, {tag(154), tag(155), 0, 0});
            for (unsigned i = 26; i <= 30; ++i) expectElement(i, quad(156 + 4 * (i - 26)));
            expectElement(31, {tag(176), tag(177), 0, 0});
            for (unsigned i = 32; i <= 45; ++i) expectElement(i, quad(178 + 4 * (i - 32)));
            expectElement(46, {tag(234), 0, 0, 0});
            expectElement(47, quad(235));
            EXPECT_EQ(d.buffer[309], prefill(309, 0xA5));
            EXPECT_EQ(rec.code3Longs[48], d.u32(309));
        } else {
            for (unsigned i = 20; i <= 46; ++i) expectElement(i, quad(134 + 4 * (i - 20)));
            EXPECT_EQ(d.buffer[305], prefill(305, 0xA5));
            EXPECT_EQ(rec.code3Longs[47], d.u32(305));
        }
    }
}

TEST(Group18, Code3ElementWidenedByZeros) {
    const Decoded a = decode(18, 3, 0, taggedPayload(250, {{12, 2}, {154, 1}, {155, 2}}));
    EXPECT_EQ(a.fields().code3Longs[25], 513U);
    const Decoded b = decode(18, 3, 0, taggedPayload(250, {{12, 0}, {154, 1}, {155, 2}}));
    EXPECT_EQ(b.fields().code3Longs[25], 1U | 2U << 8 | (tagsOf(156, 157) << 16));
}

// The same variant choice through the exported call and the fake host.
class Group18Receive : public FakeHostTest {};

TEST_F(Group18Receive, VariantChosenByBitOneOfR12) {
    bind();
    const Bytes frame = replyFrame(3, 0, taggedPayload(250, {{12, 0xFD}}));
    fake().feed(frame.data(), frame.size());
    std::uint8_t buffer[kBufferSize];
    for (std::size_t k = 0; k < kBufferSize; ++k) buffer[k] = prefill(k, 0x33);
    ReplyRecord record{};
    ASSERT_EQ(MuxReceiveComm(18, buffer, &record), 1);
    for (unsigned k = 197; k <= 304; ++k) ASSERT_EQ(buffer[k], tag(k - 63)) << k;  // r[134..241]
    for (unsigned k = 305; k < kBufferSize; ++k) ASSERT_EQ(buffer[k], prefill(k, 0x33)) << k;
    EXPECT_EQ(record.code3Longs[46], tagsOf(238, 241));
}

}  // namespace
}  // namespace kavrol::test::layouts
