// The groups whose reply code 3 holds odd-bit packs: {8} (full and short
// form) and the default group {3, 7, 10, 15, 16, 20, 21} with the threshold
// step of models 3, 10, 15 and 16.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "support/fake_fixture.h"
#include "support/normalized_reply.h"

namespace kavrol::test::layouts {
namespace {

constexpr std::uint32_t kDefaultGroup[] = {3, 7, 10, 15, 16, 20, 21};
constexpr std::uint32_t kThresholdModels[] = {3, 10, 15, 16};

// Bit 7 down to bit 0: hi.7, hi.5, hi.3, hi.1, lo.7, lo.5, lo.3, lo.1.
std::uint8_t oddBitPack(std::uint8_t lo, std::uint8_t hi) {
    unsigned v = 0;
    for (unsigned b = 0; b < 4; ++b)
        v |= ((unsigned{lo} >> (2 * b + 1)) & 1U) << b | ((unsigned{hi} >> (2 * b + 1)) & 1U) << (4 + b);
    return static_cast<std::uint8_t>(v);
}
std::uint8_t packOfTags(unsigned j) { return oddBitPack(tag(j), tag(j + 1)); }

// The packed bytes and words that model 8's full form and the default group
// share: code3Bytes[0..3], code3QuadA, code3QuadB, code3Words2, code3QuadC.
void expectPackedParts(const Decoded& d) {
    const ReplyRecord rec = d.fields();
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(rec.code3Bytes[i], packOfTags(78 + 2 * i)) << i;
        EXPECT_EQ(rec.code3QuadA[i], packOfTags(86 + 2 * i)) << i;
        EXPECT_EQ(rec.code3QuadB[i], 0) << i;
        EXPECT_EQ(rec.code3Words2[i], tag(102 + i)) << i;  // widened
        EXPECT_EQ(rec.code3Words2[4 + i], 0) << 4 + i;
        EXPECT_EQ(rec.code3QuadC[i], packOfTags(94 + 2 * i)) << i;
    }
    EXPECT_EQ(rec.code3Longs[0], d.u32(117));
    EXPECT_EQ(d.buffer[117], prefill(117, 0xA5));
}

// The examples of the pack: (r[j], r[j+1]) and the packed byte.
struct PackCase {
    unsigned j;
    std::uint8_t lo, hi, packed;
};
const PackCase kPackExamples[] = {
    {78, 170, 0, 15}, {80, 0, 170, 240}, {82, 85, 128, 128}, {84, 2, 0, 1}, {86, 255, 255, 255}, {88, 85, 85, 0},
};

void expectPackExamples(std::uint32_t model, std::uint8_t header3) {
    Bytes payload = taggedPayload(110);
    for (const PackCase& c : kPackExamples) {
        payload[c.j - 6] = c.lo;
        payload[c.j + 1 - 6] = c.hi;
    }
    const Decoded d = decode(model, 3, header3, payload);
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(d.buffer[64 + i], kPackExamples[i].packed) << "model " << model;
    EXPECT_EQ(d.buffer[89], 255);
    EXPECT_EQ(d.buffer[90], 0);
}

TEST(Group8, Code3FullFormInRecordTerms) {
    const Decoded d = decode(8, 3, 1, taggedPayload(110));
    const ReplyRecord rec = d.fields();
    for (unsigned i = 0; i < 32; ++i) EXPECT_EQ(rec.code3Words[i], tag(6 + 2 * i) | tag(7 + 2 * i) << 8) << i;
    for (unsigned i = 4; i < 25; ++i) EXPECT_EQ(rec.code3Bytes[i], 0) << i;
    expectPackedParts(d);
}

TEST(Group8, Code3PackExamples) { expectPackExamples(8, 1); }

TEST(Group8, Code3AnyNonZeroHeaderSelectsTheFullForm) {
    const Bytes payload = taggedPayload(110);
    const Decoded one = decode(8, 3, 1, payload);
    for (std::uint8_t header3 : std::initializer_list<std::uint8_t>{2, 128, 255})
        EXPECT_EQ(decode(8, 3, header3, payload).buffer, one.buffer);
}

TEST(Group8, Code3FullFormIgnoresR70To77) {
    Bytes payload = taggedPayload(110);
    const Decoded a = decode(8, 3, 1, payload);
    for (unsigned j = 70; j <= 77; ++j) payload[j - 6] = static_cast<std::uint8_t>(~payload[j - 6]);
    EXPECT_EQ(decode(8, 3, 1, payload).buffer, a.buffer);
}

TEST(Group8, Code3ShortFormInRecordTerms) {
    const Decoded d = decode(8, 3, 0, taggedPayload(110, {{50, 7}}));
    EXPECT_EQ(d.buffer[64], 7);
    const ReplyRecord rec = d.fields();
    for (unsigned i = 0; i < 22; ++i) EXPECT_EQ(rec.code3Words[i], tag(6 + 2 * i) | tag(7 + 2 * i) << 8) << i;
    for (unsigned i = 22; i < 32; ++i) EXPECT_EQ(rec.code3Words[i], 0) << i;
    for (unsigned i = 1; i <= 8; ++i) EXPECT_EQ(rec.code3Bytes[i], tag(50 + i)) << i;
    // out 73 onward keep the caller's bytes.
    EXPECT_EQ(rec.code3Bytes[9], prefill(73, 0xA5));
    EXPECT_EQ(rec.code3QuadA[0], prefill(89, 0xA5));
}

TEST(Group8, Code2WritesTheTwoByteTable) {
    const Decoded d = decode(8, 2, 1, taggedPayload(20));
    EXPECT_EQ(d.buffer[0], tag(6));
    EXPECT_EQ(d.buffer[1], 0);
    EXPECT_EQ(d.buffer[2], prefill(2, 0xA5));
    const ReplyRecord rec = d.fields();
    EXPECT_EQ(rec.code2Word0, tag(6));
    EXPECT_EQ(rec.code2Bits[0], prefill(2, 0xA5) | prefill(3, 0xA5) << 8);
}

// Model 8's full form and the default group lay out out 64..67 and
// 89..116 alike; out 0..63 and 68..88 differ.
TEST(Group8, PackedPartsMatchTheDefaultGroup) {
    std::mt19937 rng(8);
    for (int n = 0; n < 50; ++n) {
        Bytes payload(110 - 5);
        for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
        const Decoded m8 = decode(8, 3, 1, payload);
        const Decoded m7 = decode(7, 3, 1, payload);
        for (unsigned k = 64; k <= 116; ++k) {
            if (k <= 67 || k >= 89) {
                ASSERT_EQ(m8.buffer[k], m7.buffer[k]) << k;
            }
        }
        EXPECT_EQ(m8.buffer[48], payload[54 - 6]);
        EXPECT_EQ(m7.buffer[48], 0);
    }
}

TEST(DefaultGroup, Code1WritesTwentyBytes) {
    for (std::uint32_t model : kDefaultGroup) {
        SCOPED_TRACE(model);
        const Decoded d = decode(model, 1, 1, taggedPayload(30));
        EXPECT_EQ(d.buffer[0], tag(6));
        EXPECT_EQ(d.buffer[1], 0);
        EXPECT_EQ(d.buffer[2], tag(7));
        EXPECT_EQ(d.buffer[3], 0);
        for (unsigned k = 4; k <= 19; ++k) EXPECT_EQ(d.buffer[k], tag(k + 4)) << k;
        const ReplyRecord rec = d.fields();
        EXPECT_EQ(rec.code1Word0, tag(6));
        EXPECT_EQ(rec.code1Word1, tag(7));
        EXPECT_EQ(rec.code1Word4, tag(12) | tag(13) << 8);
        EXPECT_EQ(rec.code1Word9, tag(22) | tag(23) << 8);
    }
}

TEST(DefaultGroup, Code3InRecordTerms) {
    for (std::uint32_t model : kDefaultGroup) {
        SCOPED_TRACE(model);
        const Decoded d = decode(model, 3, 1, taggedPayload(110));
        const ReplyRecord rec = d.fields();
        for (unsigned i = 0; i < 24; ++i) EXPECT_EQ(rec.code3Words[i], tag(6 + 2 * i) | tag(7 + 2 * i) << 8) << i;
        for (unsigned i = 24; i < 32; ++i) EXPECT_EQ(rec.code3Words[i], 0) << i;
        for (unsigned i = 4; i < 25; ++i) EXPECT_EQ(rec.code3Bytes[i], tag(50 + i)) << i;  // r[54..74]
        expectPackedParts(d);
    }
}

TEST(DefaultGroup, Code3PackExamples) {
    for (std::uint32_t model : kDefaultGroup) expectPackExamples(model, 1);
}

// The threshold step: seven 16-bit values from r[20] on, each compared
// with 1638; bit 7 of out 66 keeps r[83].7 from the pack.
struct ThresholdCase {
    const char* what;
    std::uint16_t values[7];  // r[20+2i] | r[21+2i] << 8
    std::uint8_t r34;         // the byte after the last value
    std::uint8_t r82, r83;
    std::uint8_t out66;
};
const ThresholdCase kThresholdCases[] = {
    {"1638 then 1637", {1638, 1637, 0, 0, 0, 0, 0}, 0, 0x00, 0x80, 0x81},
    {"bit 7 clear in r[83]", {1638, 1637, 0, 0, 0, 0, 0}, 0, 0xFF, 0x7F, 0x01},
    {"non-zero following values do not count", {1637, 1, 0, 0, 0, 0, 1}, 0xFF, 0xFF, 0xFF, 0x80},
    {"high bytes", {0x0700, 0x0665, 0xFFFF, 0x0100, 0x0666, 0x06FF, 0x0001}, 0x01, 0x00, 0x00, 0x35},
    {"all at the limit", {1638, 1638, 1638, 1638, 1638, 1638, 1638}, 0, 0xAA, 0x2A, 0x7F},
};

Bytes thresholdPayload(const ThresholdCase& c, unsigned last = 110) {
    Bytes p = taggedPayload(last);
    for (unsigned i = 0; i < 7; ++i) {
        p[20 + 2 * i - 6] = static_cast<std::uint8_t>(c.values[i]);
        p[21 + 2 * i - 6] = static_cast<std::uint8_t>(c.values[i] >> 8);
    }
    p[34 - 6] = c.r34;
    p[82 - 6] = c.r82;
    p[83 - 6] = c.r83;
    return p;
}

TEST(DefaultGroup, ThresholdStepOfModels3_10_15_16WhenR3IsZero) {
    for (std::uint32_t model : kThresholdModels) {
        for (const ThresholdCase& c : kThresholdCases) {
            SCOPED_TRACE(testing::Message() << "model " << model << ": " << c.what);
            const Decoded d = decode(model, 3, 0, thresholdPayload(c));
            EXPECT_EQ(d.buffer[66], c.out66);
            EXPECT_EQ(d.fields().code3Bytes[2], c.out66);
        }
    }
}

TEST(DefaultGroup, NoThresholdStepOtherwise) {
    for (const ThresholdCase& c : kThresholdCases) {
        const std::uint8_t packed = oddBitPack(c.r82, c.r83);
        for (std::uint32_t model : {7U, 20U, 21U})
            EXPECT_EQ(decode(model, 3, 0, thresholdPayload(c)).buffer[66], packed) << model << ": " << c.what;
        for (std::uint32_t model : kThresholdModels)
            EXPECT_EQ(decode(model, 3, 1, thresholdPayload(c)).buffer[66], packed) << model << ": " << c.what;
    }
}

// Through the exported call, with the receive area as the reader leaves it.
class DefaultGroupReceive : public FakeHostTest {
protected:
    Decoded receive(std::uint32_t model, const Bytes& frame) {
        bind();
        fake().feed(frame.data(), frame.size());
        Decoded d;
        for (std::size_t k = 0; k < d.buffer.size(); ++k) d.buffer[k] = prefill(k, 0xA5);
        d.result = MuxReceiveComm(model, d.buffer.data(), reinterpret_cast<ReplyRecord*>(d.record.data()));
        return d;
    }
};

TEST_F(DefaultGroupReceive, ThresholdStep) {
    const Decoded d = receive(15, replyFrame(3, 0, thresholdPayload(kThresholdCases[2])));
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.fields().code3Bytes[2], 0x80);
}

// L = 60: what lies past r[60] comes from the zeroed receive area.
TEST_F(DefaultGroupReceive, ShortReplyStillWritesTheWholeLayout) {
    const Decoded d = receive(7, replyFrame(3, 1, taggedPayload(60)));
    ASSERT_EQ(d.result, 1);
    for (unsigned k = 0; k <= 47; ++k) EXPECT_EQ(d.buffer[k], tag(k + 6)) << k;
    for (unsigned k = 68; k <= 74; ++k) EXPECT_EQ(d.buffer[k], tag(k - 14)) << k;
    for (unsigned k : {64U, 67U, 75U, 88U, 89U, 92U, 97U, 103U, 113U, 116U}) EXPECT_EQ(d.buffer[k], 0) << k;
    EXPECT_EQ(d.buffer[117], prefill(117, 0xA5));
}

}  // namespace
}  // namespace kavrol::test::layouts
