// XOR checksums: two-byte fill and match, one-byte fill, frames inside a
// larger area; the reply reader's zeros where the checksum stood.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include <span>

#include "kavrol32/kavrol32.h"
#include "protocol/checksum.h"
#include "reply/layout.h"
#include "reply/reply_reader.h"
#include "support/frames.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace protocol = kavrol::protocol;

void fillTwoByte(Bytes& f, std::size_t at = 0) { protocol::fillTwoByteChecksum(std::span(f).subspan(at)); }
bool matches(const Bytes& f) { return protocol::twoByteChecksumMatches(f); }

// The reply reader's steps after the read, on a receive area that holds f.
struct Decoded {
    std::int32_t status;
    std::uint8_t area[kavrol::reply::kReceiveAreaSize];
};
Decoded decodeReply(const Bytes& f) {
    Decoded d{};
    std::copy(f.begin(), f.end(), d.area);
    std::uint8_t buffer[kavrol::reply::kReplyBufferSize] = {};
    ReplyRecord record{};
    d.status = kavrol::reply::decodeReply(0, d.area, buffer, reinterpret_cast<std::uint8_t*>(&record));
    return d;
}

constexpr std::uint8_t kJunk = 0xA5;

struct TwoByteCase {
    const char* name;
    Bytes frame;        // f[4], f[5] hold junk; the expected checksum is in `odd`, `even`
    std::uint8_t odd;   // expected f[4]
    std::uint8_t even;  // expected f[5]
};

const TwoByteCase kTwoByteCases[] = {
    {"WordFrameOddLastIndex", {0x3C, 0x09, 0x03, 0x00, kJunk, kJunk, 0x34, 0x12, 0x56, 0x00}, 0x1B, 0x5D},
    {"RawFrameEvenLastIndex", {0x3C, 0x08, 0x08, 0x01, kJunk, kJunk, 0x41, 0x42, 0x43}, 0x4B, 0x36},
    {"NoPayload", {0x3C, 0x05, 0x05, 0x07, kJunk, kJunk}, 0x02, 0x39},
    {"JunkInOnlyOneCheckByte", {0x3C, 0x05, 0x05, 0x07, kJunk, 0x00}, 0x02, 0x39},
};

// The frame followed by bytes that lie past its last index.
Bytes withTail(const Bytes& frame) {
    Bytes f(frame.size() + 3, 0);
    std::copy(frame.begin(), frame.end(), f.begin());
    f[frame.size()] = 0xFF;
    f[frame.size() + 1] = 0x77;
    f[frame.size() + 2] = 0x01;
    return f;
}

class TwoByteFill : public ::testing::TestWithParam<TwoByteCase> {};

TEST_P(TwoByteFill, StoresOddSumAtFourAndEvenSumAtFive) {
    const TwoByteCase& c = GetParam();
    Bytes f = withTail(c.frame);
    fillTwoByte(f);
    EXPECT_EQ(f[4], c.odd);
    EXPECT_EQ(f[5], c.even);
    Bytes expected = withTail(c.frame);
    expected[4] = c.odd;
    expected[5] = c.even;
    EXPECT_EQ(f, expected);
}

TEST_P(TwoByteFill, MatchAcceptsTheFilledFrameAndLeavesItAlone) {
    const TwoByteCase& c = GetParam();
    Bytes f = c.frame;
    f[4] = c.odd;
    f[5] = c.even;
    const Bytes before = f;
    EXPECT_TRUE(matches(f));
    EXPECT_EQ(f, before);
}

INSTANTIATE_TEST_SUITE_P(Frames, TwoByteFill, ::testing::ValuesIn(kTwoByteCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(OneByteFill, CoversTheWholeEnvelope) {
    Bytes f = {0x24, 0x0D, kJunk, 0x02, 0x01, 0x05, 0x3C, 0x07, 0x03, 0x00, 0x06, 0x3D, 0x02, 0x01, 0xEE};
    protocol::fillOneByteChecksum(f);
    EXPECT_EQ(f[2], 0x2F);
    EXPECT_EQ(f[14], 0xEE);
    EXPECT_EQ(f[4], 0x01);
    EXPECT_EQ(f[5], 0x05);
}

// A frame whose last index is above 127 is still walked to its end.
TEST(TwoByteFillLong, LastIndexIsReadUnsigned) {
    for (const std::size_t payload : {122U, 123U, 195U, 245U}) {
        Bytes body(payload);
        for (std::size_t i = 0; i < payload; ++i) body[i] = static_cast<std::uint8_t>(i * 7 + 3);
        const Bytes reference = kavrol::test::replyFrame(0x21, 0x42, body, 0x3C);
        Bytes f = reference;
        f[4] = kJunk;
        f[5] = kJunk;
        fillTwoByte(f);
        EXPECT_EQ(f, reference) << "payload " << payload;
        EXPECT_TRUE(matches(f));
    }
}

const Bytes kGoodFrame = {0x3C, 0x09, 0x03, 0x00, 0x1B, 0x5D, 0x34, 0x12, 0x56, 0x00};

TEST(Verify, FlippedPayloadBitFails) {
    for (std::size_t i = 6; i < kGoodFrame.size(); ++i) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            Bytes f = kGoodFrame;
            f[i] ^= static_cast<std::uint8_t>(1U << bit);
            EXPECT_FALSE(matches(f)) << "byte " << i << " bit " << bit;
        }
    }
}

// The reader leaves zeros where the checksum stood, whatever the outcome,
// and nothing else of the frame changes.
TEST(Verify, ReplyReaderZeroesTheChecksumWhateverTheOutcome) {
    const Bytes good = kavrol::test::replyFrame(4, 0x42, {0x11, 0x22, 0x33}, 0x3E);
    Bytes bad = good;
    bad[7] ^= 0x01;
    const struct {
        const Bytes& f;
        std::int32_t status;
    } cases[] = {{good, KAVROL_OK}, {bad, -3}};
    for (const auto& [f, status] : cases) {
        const Decoded d = decodeReply(f);
        EXPECT_EQ(d.status, status);
        EXPECT_EQ(d.area[4], 0);
        EXPECT_EQ(d.area[5], 0);
        for (std::size_t i = 0; i < f.size(); ++i) {
            if (i != 4 && i != 5) {
                EXPECT_EQ(d.area[i], f[i]) << "byte " << i;
            }
        }
    }
}

TEST(Verify, SwappedChecksumBytesFailUnlessBothSumsAreEqual) {
    Bytes f = kGoodFrame;
    std::swap(f[4], f[5]);
    EXPECT_FALSE(matches(f));

    // Even sum 0x00 ^ 0x05 and odd sum 0x05 ^ 0x00 are both 0x05.
    Bytes same = {0x00, 0x05, 0x05, 0x00, 0x05, 0x05};
    std::swap(same[4], same[5]);
    EXPECT_TRUE(matches(same));
}

TEST(Verify, DoesNotReadPastTheLastIndex) {
    Bytes f = kGoodFrame;
    f.push_back(0x99);
    EXPECT_TRUE(matches(f));
    EXPECT_EQ(f.back(), 0x99);
}

// The inner frame of a multiplexed command sits at offset 4 + n.
TEST(OffsetFill, TouchesOnlyItsFrameAndIgnoresTheBytesBefore) {
    const Bytes inner = {0x3C, 0x07, 0x03, 0x00, kJunk, kJunk, 0x02, 0x01};
    for (const std::uint8_t prefixFill : std::initializer_list<std::uint8_t>{0x00, 0xFF, 0x5A}) {
        Bytes buffer(6 + inner.size() + 2, 0xC3);
        std::fill_n(buffer.begin(), 6, prefixFill);
        std::copy(inner.begin(), inner.end(), buffer.begin() + 6);
        Bytes expected = buffer;
        expected[6 + 4] = 0x06;
        expected[6 + 5] = 0x3D;
        protocol::fillTwoByteChecksum(std::span(buffer).subspan(6));
        EXPECT_EQ(buffer, expected) << "prefix " << int{prefixFill};
    }
}

}  // namespace
