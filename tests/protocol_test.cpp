// The protocol module against the tests' own oracles: the record byte map,
// the reply frame builder, and the limits of the 50-byte command area.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "protocol/command_decoding.h"
#include "protocol/command_encoding.h"
#include "protocol/record_fields.h"
#include "protocol/reply_frame.h"
#include "protocol/result_names.h"
#include "support/frames.h"
#include "support/record_map.h"

namespace {

namespace protocol = kavrol::protocol;
using protocol::ReplyFault;
using Bytes = std::vector<std::uint8_t>;

// The buffer byte the oracle map says feeds a record byte, or -1.
std::ptrdiff_t mappedBufferByte(std::uint8_t code, std::size_t recordByte) {
    for (const auto& run : kavrol::test::recordRunsOf(code)) {
        if (recordByte >= run.recordFirst && recordByte < run.recordFirst + run.length) {
            return static_cast<std::ptrdiff_t>(run.bufferFirst + (recordByte - run.recordFirst));
        }
    }
    return -1;
}

TEST(RecordFieldTable, FeedsEveryRecordByteFromTheBufferByteOfTheRecordMap) {
    for (unsigned code = 0; code <= 0xFF; ++code) {
        for (std::size_t k = 0; k < kavrol::test::kRecordSize; ++k) {
            const auto c = static_cast<std::uint8_t>(code);
            ASSERT_EQ(protocol::bufferByteOf(c, k), mappedBufferByte(c, k)) << "code " << code << ", record byte " << k;
        }
    }
}

TEST(RecordFieldTable, NamesAndElementSizesFollowTheRecordDeclaration) {
    struct Case {
        const char* name;
        std::size_t offset, size, count;
    };
    const Case cases[] = {
        {"code3Words", 0, 2, 32},  {"code3Longs", 120, 4, 50}, {"code1Word9", 338, 2, 1},
        {"code6Pair5", 364, 2, 2}, {"code2Bits", 372, 2, 8},   {"code5Pair4", 414, 2, 2},
    };
    for (const Case& c : cases) {
        bool found = false;
        for (const protocol::RecordField& f : protocol::kRecordFields) {
            if (std::string_view(f.name) != c.name) continue;
            found = true;
            EXPECT_EQ(f.recordOffset, c.offset) << c.name;
            EXPECT_EQ(f.elementSize, c.size) << c.name;
            EXPECT_EQ(f.count, c.count) << c.name;
        }
        EXPECT_TRUE(found) << c.name;
    }
}

Bytes withTrailing(Bytes frame, std::initializer_list<std::uint8_t> extra) {
    frame.insert(frame.end(), extra);
    return frame;
}

TEST(JudgeReply, NamesTheFirstCheckThatFails) {
    using kavrol::test::replyFrame;
    using kavrol::test::withBadChecksum;
    Bytes cut = replyFrame(1, 0, {1, 2, 3});
    cut.pop_back();
    Bytes above = replyFrame(1, 0, {});
    above[1] = 251;
    struct Case {
        const char* what;
        Bytes bytes;
        std::int32_t status;
        ReplyFault fault;
    };
    const Case cases[] = {
        {"nothing", {}, -2, ReplyFault::NoReply},
        {"one byte", {0x3E}, -2, ReplyFault::HeaderCut},
        {"header only", {0x3E, 0x0B}, -2, ReplyFault::RestCut},
        {"L above 250", above, -3, ReplyFault::LengthAboveRange},
        {"L below 5", {0x3E, 0x04, 0x01, 0x00, 0x00}, -3, ReplyFault::LengthBelowRange},
        {"rest cut", cut, -2, ReplyFault::RestCut},
        {"bad checksum", withBadChecksum(replyFrame(1, 0, {7})), -3, ReplyFault::ChecksumMismatch},
        {"error code, bad checksum", withBadChecksum(replyFrame(250, 0, {})), -3, ReplyFault::ChecksumMismatch},
        {"error 247", replyFrame(247, 0, {}), -12, ReplyFault::DeviceError},
        {"error 255", replyFrame(255, 0, {}), -4, ReplyFault::DeviceError},
        {"code 246", replyFrame(246, 0, {}), 1, ReplyFault::None},
        {"bytes after the frame", withTrailing(replyFrame(3, 0, {1, 2}), {0xFF, 0x00}), 1, ReplyFault::None},
        {"longest", replyFrame(1, 0, Bytes(245, 0x5A)), 1, ReplyFault::None},
    };
    for (const Case& c : cases) {
        const protocol::ReplyJudgement j = protocol::judgeReply(c.bytes);
        EXPECT_EQ(j.status, c.status) << c.what;
        EXPECT_EQ(j.fault, c.fault) << c.what;
    }
}

TEST(JudgeReply, ReportsWhatTheChecksumShouldHaveBeen) {
    const Bytes good = kavrol::test::replyFrame(5, 2, {9, 8, 7});
    const protocol::ReplyJudgement j = protocol::judgeReply(kavrol::test::withBadChecksum(good));
    EXPECT_EQ(j.computed.odd, good[4]);
    EXPECT_EQ(j.computed.even, good[5]);
}

TEST(WriteReplyFrame, MatchesTheTestBuilderUpToTheLongestPayload) {
    for (std::size_t n : {0U, 1U, 2U, 244U, 245U}) {
        Bytes payload(n);
        for (std::size_t i = 0; i < n; ++i) payload[i] = static_cast<std::uint8_t>(i * 31 + 7);
        Bytes out(6 + n, 0xEE);
        ASSERT_EQ(protocol::writeReplyFrame(9, 4, payload, out), 6 + n) << n;
        EXPECT_EQ(out, kavrol::test::replyFrame(9, 4, payload)) << n;
    }
    Bytes tooLong(246);
    Bytes room(300);
    EXPECT_EQ(protocol::writeReplyFrame(1, 0, tooLong, room), 0U);
    Bytes small(7);
    EXPECT_EQ(protocol::writeReplyFrame(1, 0, Bytes(2), small), 0U);
}

TEST(Checksum, NeverReadsPastTheSpanWhateverTheLengthByteSays) {
    // L = 250, but only six bytes are there: the sums cover those six.
    const std::uint8_t f[] = {0x3E, 0xFA, 0x01, 0x02, 0x00, 0x00};
    const protocol::TwoByteChecksum sum = protocol::twoByteChecksum(f);
    EXPECT_EQ(sum.even, 0x3E ^ 0x01);
    EXPECT_EQ(sum.odd, 0xFA ^ 0x02);
    EXPECT_FALSE(protocol::twoByteChecksumMatches(std::span(f).first(5)));
    // Five bytes cannot hold the two checksum positions, even when the
    // fifth matches and the byte after the span would too.
    const std::uint8_t g[] = {0x3E, 0x06, 0x01, 0x02, 0x06 ^ 0x02, 0x3E ^ 0x01};
    EXPECT_TRUE(protocol::twoByteChecksumMatches(std::span(g).first(6)));
    EXPECT_FALSE(protocol::twoByteChecksumMatches(std::span(g).first(5)));
}

TEST(Checksum, StopsAtTheLastIndexWhenMoreBytesFollow) {
    // L = 6: positions 0..6 count except the checksum's own (4, 5); the two
    // bytes after the frame do not.
    const std::uint8_t f[] = {0x3E, 0x06, 0x01, 0x02, 0x55, 0x66, 0x40, 0x81, 0x18};
    const protocol::TwoByteChecksum sum = protocol::twoByteChecksum(f);
    EXPECT_EQ(sum.even, 0x3E ^ 0x01 ^ 0x40);
    EXPECT_EQ(sum.odd, 0x06 ^ 0x02);
    // One-byte sum: every position 0..6 except its own, 2.
    EXPECT_EQ(protocol::oneByteChecksum(f), 0x3E ^ 0x06 ^ 0x02 ^ 0x55 ^ 0x66 ^ 0x40);
}

struct EncodeLimit {
    const char* what;
    bool multiplexed;
    std::size_t route;
    std::size_t payload;
    std::int32_t result;  // bytes sent, or -1
};

// Two bytes per word, low byte first, and not one byte more: the rest of
// the destination keeps what it held.
TEST(WriteWordPayload, WritesExactlyTwoBytesPerWord) {
    const std::uint16_t words[protocol::kMaxWordItems] = {0x1234, 0x5678, 0x9ABC, 0xDEF0};
    for (std::uint8_t items = 0; items <= protocol::kMaxWordItems; ++items) {
        SCOPED_TRACE(static_cast<int>(items));
        std::array<std::uint8_t, 2 * protocol::kMaxWordItems + 2> dest{};
        dest.fill(0xEE);
        const unsigned n =
            protocol::writeWordPayload(words, items, std::span(dest).first<2 * protocol::kMaxWordItems>());
        EXPECT_EQ(n, 2U * items);
        for (unsigned k = 0; k < dest.size(); ++k) {
            const std::uint8_t want =
                k >= n ? 0xEE : static_cast<std::uint8_t>(k % 2 == 0 ? words[k / 2] : words[k / 2] >> 8);
            EXPECT_EQ(dest[k], want) << "byte " << k;
        }
    }
    std::array<std::uint8_t, 2 * protocol::kMaxWordItems> dest{};
    EXPECT_EQ(protocol::writeWordPayload(words, protocol::kMaxWordItems + 1, dest), 0U);
}

// The frame scanners of the tools take kMaxCommandIndex as the longest
// command frame: the last index of the longest direct frame and envelope.
TEST(EncodeCommandFrame, LongestFramesEndAtTheMaximumIndex) {
    const std::vector<std::uint8_t> raw(protocol::kMaxDirectRaw, 0x11);
    protocol::CommandFrameFields direct;
    direct.command = 8;
    direct.payload = raw;
    std::array<std::uint8_t, protocol::kCommandAreaSize> area{};
    ASSERT_EQ(protocol::encodeCommandFrame(direct, area), static_cast<std::int32_t>(protocol::kMaxCommandIndex));
    EXPECT_EQ(area[0], protocol::kMaxCommandIndex);  // sent without its start byte
    const std::uint8_t route[] = {1, 2};
    protocol::CommandFrameFields envelope = direct;
    envelope.multiplexed = true;
    envelope.route = route;
    envelope.payload = std::span(raw).first(protocol::kMaxEnvelopeRaw - 2);
    ASSERT_EQ(protocol::encodeCommandFrame(envelope, area), static_cast<std::int32_t>(protocol::kMaxCommandIndex + 1));
    EXPECT_EQ(area[1], protocol::kMaxCommandIndex);
}

// The frame scanners of the tools take kMinEnvelopeIndex as the shortest
// envelope: it is what the encoder makes without route and payload.
TEST(EncodeCommandFrame, ShortestEnvelopeEndsAtTheMinimumIndex) {
    protocol::CommandFrameFields fields;
    fields.multiplexed = true;
    fields.command = 5;
    std::array<std::uint8_t, protocol::kCommandAreaSize> area{};
    EXPECT_EQ(protocol::encodeCommandFrame(fields, area), static_cast<std::int32_t>(protocol::kMinEnvelopeIndex + 1));
    EXPECT_EQ(area[1], protocol::kMinEnvelopeIndex);
}

TEST(EncodeCommandFrame, FillsTheAreaToTheLastByteOrRejectsWithoutTouchingIt) {
    const EncodeLimit cases[] = {
        {"direct, 44 bytes", false, 0, 44, 49},          {"direct, 45 bytes", false, 0, 45, -1},
        {"envelope, 9 hops, 31 bytes", true, 9, 31, 50}, {"envelope, 9 hops, 32 bytes", true, 9, 32, -1},
        {"envelope, no hop, 40 bytes", true, 0, 40, 50}, {"envelope, 10 hops, no payload", true, 10, 0, -1},
    };
    const Bytes route(10, 0x07);
    const Bytes payload(45, 0x42);
    for (const EncodeLimit& c : cases) {
        std::array<std::uint8_t, protocol::kCommandAreaSize> area;
        area.fill(0xA5);
        const protocol::CommandFrameFields fields{c.multiplexed, std::span(route).first(c.route), 8, 1,
                                                  std::span(payload).first(c.payload)};
        EXPECT_EQ(protocol::encodeCommandFrame(fields, area), c.result) << c.what;
        if (c.result < 0) {
            for (std::uint8_t b : area) ASSERT_EQ(b, 0xA5) << c.what;
        } else {
            EXPECT_EQ(area[c.multiplexed ? 1 : 0], c.multiplexed ? c.result - 1 : c.result) << c.what;
        }
    }
}

// The bytes a command is sent as, by the library's encoder.
Bytes encoded(bool multiplexed, const Bytes& route, std::uint8_t command, const Bytes& payload) {
    std::array<std::uint8_t, protocol::kCommandAreaSize> area{};
    const std::int32_t n = protocol::encodeCommandFrame({multiplexed, route, command, 7, payload}, area);
    return Bytes(area.begin(), area.begin() + (n > 0 ? n : 0));
}

TEST(DecodeCommandFrame, ReadsBackWhatTheEncoderWrote) {
    const struct {
        bool multiplexed;
        Bytes route;
        Bytes payload;
    } cases[] = {
        {false, {}, {}},
        {false, {}, Bytes(protocol::kMaxDirectRaw, 0x5A)},
        {false, {}, Bytes(31, 0x55)},  // first byte 24: a direct frame of L = 36
        {true, {}, {0x01}},
        {true, {1, 5}, {0x02, 0x01}},
        {true, Bytes(protocol::kMaxRoute, 9), Bytes(protocol::kMaxEnvelopeRaw - protocol::kMaxRoute, 0xA5)},
    };
    for (const auto& c : cases) {
        const Bytes sent = encoded(c.multiplexed, c.route, 3, c.payload);
        ASSERT_FALSE(sent.empty());
        Bytes withTail = sent;
        withTail.push_back(0x77);  // bytes after the frame are not looked at
        const auto form = c.multiplexed ? protocol::CommandForm::Multiplexed : protocol::CommandForm::Direct;
        const protocol::CommandDecoding d = protocol::decodeCommandFrame(withTail, form);
        EXPECT_EQ(d.fault, protocol::CommandFault::None) << c.payload.size();
        EXPECT_EQ(d.length, sent.size());
        EXPECT_EQ(d.fields.multiplexed, c.multiplexed);
        EXPECT_EQ(Bytes(d.fields.route.begin(), d.fields.route.end()), c.route);
        EXPECT_EQ(d.fields.command, 3);
        EXPECT_EQ(d.fields.subCommand, 7);
        EXPECT_EQ(Bytes(d.fields.payload.begin(), d.fields.payload.end()), c.payload);
        // The fields point into the bytes given.
        if (!c.payload.empty()) {
            EXPECT_EQ(d.fields.payload.data(), withTail.data() + sent.size() - c.payload.size());
        }
    }
}

TEST(DecodeCommandFrame, NamesTheFirstCheckThatFails) {
    using protocol::CommandFault;
    using protocol::CommandForm;
    const Bytes direct = encoded(false, {}, 3, {0x34, 0x12, 0x56, 0x00});  // 09 03 07 ...
    const Bytes envelope = encoded(true, {1, 5}, 3, {0x02, 0x01});         // 24 0D ...
    const auto with = [](Bytes b, std::size_t at, std::uint8_t value) {
        b[at] = value;
        return b;
    };
    const auto flipped = [](Bytes b, std::size_t at) {
        b[at] ^= 0x01;
        return b;
    };
    const auto first = [](const Bytes& b, std::size_t n) {
        return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
    };
    // An envelope byte changed with its one-byte checksum kept right.
    const auto envelopeWith = [&](std::size_t at, std::uint8_t value) {
        Bytes b = with(envelope, at, value);
        b[2] = static_cast<std::uint8_t>(b[2] ^ envelope[at] ^ value);
        return b;
    };
    const struct {
        const char* what;
        Bytes bytes;
        CommandForm form;
        CommandFault fault;
        std::size_t length;
    } cases[] = {
        {"direct, nothing", {}, CommandForm::Direct, CommandFault::Cut, 0},
        {"direct, L 4", with(direct, 0, 4), CommandForm::Direct, CommandFault::LengthOutOfRange, 0},
        {"direct, L 50", with(direct, 0, 50), CommandForm::Direct, CommandFault::LengthOutOfRange, 0},
        {"direct, one byte short", first(direct, direct.size() - 1), CommandForm::Direct, CommandFault::Cut, 9},
        {"direct, payload hit", flipped(direct, 7), CommandForm::Direct, CommandFault::ChecksumMismatch, 9},
        {"direct, checksum hit", flipped(direct, 3), CommandForm::Direct, CommandFault::ChecksumMismatch, 9},
        {"direct, shortest", {0x05, 0x05, 0x07, 0x02, 0x39}, CommandForm::Direct, CommandFault::None, 5},
        {"envelope, other start", direct, CommandForm::Multiplexed, CommandFault::NotThisForm, 0},
        {"envelope, start only", first(envelope, 1), CommandForm::Multiplexed, CommandFault::Cut, 0},
        {"envelope, L 8", with(envelope, 1, 8), CommandForm::Multiplexed, CommandFault::LengthOutOfRange, 0},
        {"envelope, L 50", with(envelope, 1, 50), CommandForm::Multiplexed, CommandFault::LengthOutOfRange, 0},
        {"envelope, one byte short", first(envelope, envelope.size() - 1), CommandForm::Multiplexed, CommandFault::Cut,
         14},
        {"envelope, route count 10", envelopeWith(3, 10), CommandForm::Multiplexed, CommandFault::RouteOutOfRange, 14},
        {"envelope, route leaves no inner frame", envelopeWith(3, 5), CommandForm::Multiplexed,
         CommandFault::RouteOutOfRange, 14},
        {"envelope, inner start", envelopeWith(6, 0x3D), CommandForm::Multiplexed, CommandFault::InnerStartWrong, 14},
        {"envelope, inner L", envelopeWith(7, 8), CommandForm::Multiplexed, CommandFault::InnerLengthWrong, 14},
        {"envelope, outer checksum", flipped(envelope, 2), CommandForm::Multiplexed,
         CommandFault::EnvelopeChecksumMismatch, 14},
        // The envelope is judged before the frame inside it.
        {"envelope, both checksums", with(flipped(envelope, 13), 2, envelope[2] ^ 0x03), CommandForm::Multiplexed,
         CommandFault::EnvelopeChecksumMismatch, 14},
        {"envelope, inner checksum", envelopeWith(13, 0x00), CommandForm::Multiplexed, CommandFault::ChecksumMismatch,
         14},
    };
    for (const auto& c : cases) {
        const protocol::CommandDecoding d = protocol::decodeCommandFrame(c.bytes, c.form);
        EXPECT_EQ(static_cast<int>(d.fault), static_cast<int>(c.fault)) << c.what;
        EXPECT_EQ(d.length, c.length) << c.what;
        EXPECT_EQ(d.arrived, c.bytes.size()) << c.what;
        const bool checksum =
            c.fault == CommandFault::ChecksumMismatch || c.fault == CommandFault::EnvelopeChecksumMismatch;
        EXPECT_EQ(protocol::isChecksumFault(d.fault), checksum) << c.what;
        // L is reported once it arrived; an envelope's checksum only for an envelope that holds.
        const std::size_t lAt = c.form == CommandForm::Direct ? 0 : 1;
        const bool lArrived = c.bytes.size() > lAt && c.fault != CommandFault::NotThisForm;
        EXPECT_EQ(d.last, lArrived ? c.bytes[lAt] : 0U) << c.what;
        if (c.form == CommandForm::Direct || !(checksum || c.fault == CommandFault::None)) {
            EXPECT_EQ(d.envelopeReceived, 0) << c.what;
            EXPECT_EQ(d.envelopeComputed, 0) << c.what;
        }
    }
    // A checksum fault still carries both sums and the fields.
    const protocol::CommandDecoding bad = protocol::decodeCommandFrame(flipped(direct, 7), CommandForm::Direct);
    EXPECT_EQ(bad.received.odd, direct[3]);
    EXPECT_EQ(bad.received.even, direct[4]);
    EXPECT_EQ(bad.computed.odd, direct[3]);
    EXPECT_EQ(bad.computed.even, direct[4] ^ 0x01);  // frame position 8 is even
    EXPECT_EQ(bad.fields.command, 3);
}

TEST(ResultNames, NameEveryResultOfTheProtocolOperations) {
    struct Case {
        std::int32_t result;
        const char* name;
    };
    const Case cases[] = {
        {1, "ok"},           {-1, "rejected"},     {-2, "timeout"},
        {-3, "frame-error"}, {-4, "device-error"}, {-12, "device-error"},
        {-13, "unknown"},    {0, "unknown"},       {2, "unknown"},
        {259, "unknown"},
    };
    for (const Case& c : cases) EXPECT_STREQ(protocol::resultName(c.result), c.name) << c.result;
}

}  // namespace
