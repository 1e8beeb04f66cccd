// The device-side codec and framing, against the frames of the protocol
// description.
#include <gtest/gtest.h>

#include <stdexcept>

#include "common/wire.h"
#include "protocol/command_encoding.h"
#include "simulator/device_scanner.h"

namespace kavrol::tools {
namespace {

Bytes hex(const char* text) { return *parseHex(text); }

// The bytes a host sends for the fields, by the library's encoder; throws
// std::invalid_argument when they do not fit a frame.
Bytes encodeCommand(const protocol::CommandFrameFields& fields) {
    std::uint8_t area[protocol::kCommandAreaSize];
    const std::int32_t n = protocol::encodeCommandFrame(fields, area);
    if (n < 0) throw std::invalid_argument("the command does not fit a frame");
    return Bytes(area, area + n);
}

TEST(ToolsWire, EncodesTheCommandFramesOfTheProtocol) {
    struct Case {
        bool multiplexed;
        Bytes route;
        std::uint8_t command;
        std::uint8_t subCommand;
        Bytes payload;
        const char* sent;
    };
    const Case cases[] = {
        {false, {}, 3, 0, {0x34, 0x12, 0x56, 0x00}, "09 03 00 1B 5D 34 12 56 00"},
        {false, {}, 8, 1, {0x41, 0x42, 0x43}, "08 08 01 4B 36 41 42 43"},
        {false, {}, 5, 7, {}, "05 05 07 02 39"},
        {true, {0x01, 0x05}, 3, 0, {0x02, 0x01}, "24 0D 2F 02 01 05 3C 07 03 00 06 3D 02 01"},
        {true, {}, 11, 2, {0x10, 0x20, 0x30, 0x40}, "24 0D 29 00 3C 09 0B 02 6B 17 10 20 30 40"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(toHex(encodeCommand({c.multiplexed, c.route, c.command, c.subCommand, c.payload})), c.sent);
    }
}

TEST(ToolsWire, RefusesCommandsThatDoNotFitTheFiftyByteFrame) {
    // The length byte would no longer describe the frame: refused, not sent.
    EXPECT_NO_THROW(encodeCommand({false, {}, 8, 0, Bytes(44, 1)}));
    EXPECT_THROW(encodeCommand({false, {}, 8, 0, Bytes(45, 1)}), std::invalid_argument);
    EXPECT_THROW(encodeCommand({true, Bytes(9, 1), 8, 0, Bytes(32, 1)}), std::invalid_argument);
    EXPECT_THROW(encodeCommand({true, Bytes(10, 1), 3, 0, {}}), std::invalid_argument);
}

TEST(ToolsWire, ReplyFrameCarriesTheCrossedTwoByteChecksum) {
    // f[4] = XOR of odd positions, f[5] = XOR of even positions.
    const Bytes f = replyFrame(3, 0, hex("34 12 56 00"));
    EXPECT_EQ(toHex(f), "3E 09 03 00 1B 5F 34 12 56 00");
    EXPECT_TRUE(twoByteChecksumMatches(f));
}

TEST(ToolsWire, JudgesRepliesAsTheHostReaderDoes) {
    struct Case {
        Bytes bytes;
        std::int32_t status;
    };
    Bytes longest = replyFrame(1, 0, Bytes(245, 0x11));
    Bytes tooLong = longest;
    tooLong[1] = 251;
    Bytes badSum = replyFrame(1, 0, hex("2A"));
    badSum[4] ^= 1;
    Bytes shortOne = replyFrame(1, 0, hex("2A 07"));
    shortOne.pop_back();
    Bytes badSumError = replyFrame(255, 0, {});
    badSumError[5] ^= 1;
    const Case cases[] = {
        {{}, -2},
        {{0x3E}, -2},
        {replyFrame(1, 0, hex("2A 07")), 1},
        {longest, 1},
        {tooLong, -3},
        {{0x3E, 0x04, 0x01, 0x00, 0x00}, -3},  // L below 5
        {shortOne, -2},
        {badSum, -3},
        {badSumError, -3},
        {replyFrame(247, 0, {}), -12},
        {replyFrame(255, 0, {}), -4},
        {replyFrame(246, 0, {}), 1},
    };
    for (const Case& c : cases) EXPECT_EQ(judgeReply(c.bytes).status, c.status) << toHex(c.bytes);
}

TEST(ToolsWire, SaysWhenTheFirstByteIsNoStartByte) {
    const Bytes reply = replyFrame(1, 0, hex("2A 07"));
    Bytes noisy = hex("57 E7");
    noisy.insert(noisy.end(), reply.begin(), reply.end());
    EXPECT_EQ(startByteNote(noisy), "; 57 is not the start byte 3E, a valid reply follows at offset 2");
    EXPECT_EQ(startByteNote(hex("57 E7 3E")), "; 57 is not the start byte 3E");
    EXPECT_EQ(startByteNote(reply), "");
    EXPECT_EQ(startByteNote({}), "");
}

std::vector<ScanResult> scanAll(const Bytes& stream, bool gapExpired = false) {
    DeviceScanner s;
    s.feed(stream);
    std::vector<ScanResult> out;
    while (auto r = s.next(gapExpired)) out.push_back(*r);
    return out;
}

TEST(ToolsDeviceScanner, DecodesDirectAndMultiplexedFrames) {
    const auto out = scanAll(hex("09 03 00 1B 5D 34 12 56 00  24 0D 2F 02 01 05 3C 07 03 00 06 3D 02 01"));
    ASSERT_EQ(out.size(), 2U);
    ASSERT_EQ(out[0].kind, ScanResult::Kind::Frame);
    EXPECT_FALSE(out[0].fields().multiplexed);
    EXPECT_EQ(out[0].fields().command, 3);
    EXPECT_EQ(toHex(out[0].fields().payload), "34 12 56 00");
    ASSERT_EQ(out[1].kind, ScanResult::Kind::Frame);
    EXPECT_TRUE(out[1].fields().multiplexed);
    EXPECT_EQ(toHex(out[1].fields().route), "01 05");
    EXPECT_EQ(toHex(out[1].fields().payload), "02 01");
}

TEST(ToolsDeviceScanner, FindsTheFrameAfterGarbage) {
    // FF and 00 begin no frame; 07 announces a frame that fails its checksum.
    const auto out = scanAll(hex("FF 00 07 01 02 05 05 07 02 39"));
    ASSERT_EQ(out.size(), 2U);
    EXPECT_EQ(out[0].kind, ScanResult::Kind::Dropped);
    EXPECT_EQ(toHex(out[0].bytes), "FF 00 07 01 02");
    ASSERT_EQ(out[1].kind, ScanResult::Kind::Frame);
    EXPECT_EQ(out[1].fields().command, 5);
    EXPECT_EQ(out[1].fields().subCommand, 7);
}

TEST(ToolsDeviceScanner, DropsFramesThatFailAnyCheck) {
    struct Case {
        const char* what;
        Bytes frame;
    };
    Bytes direct = hex("09 03 00 1B 5D 34 12 56 00");
    direct[8] ^= 0x40;
    Bytes envelope = hex("24 0D 2F 02 01 05 3C 07 03 00 06 3D 02 01");
    Bytes outer = envelope;
    outer[2] ^= 1;
    Bytes inner = envelope;
    inner[13] ^= 1;
    inner[2] ^= 1;  // keeps the envelope checksum right
    Bytes routeCount = encodeCommand({true, Bytes(9, 1), 3, 0, {}});
    routeCount[3] = 10;
    routeCount[2] ^= 9 ^ 10;
    const Case cases[] = {
        {"direct checksum", direct},
        {"envelope checksum", outer},
        {"inner checksum", inner},
        {"route count above 9", routeCount},
    };
    // Each bad frame is dropped, and the good frame after it still found.
    const Bytes good = hex("05 05 07 02 39");
    for (const Case& c : cases) {
        Bytes stream = c.frame;
        stream.insert(stream.end(), good.begin(), good.end());
        const auto out = scanAll(stream, true);
        ASSERT_GE(out.size(), 2U) << c.what;
        for (std::size_t i = 0; i + 1 < out.size(); ++i) EXPECT_EQ(out[i].kind, ScanResult::Kind::Dropped) << c.what;
        EXPECT_EQ(out.back().kind, ScanResult::Kind::Frame) << c.what;
        EXPECT_EQ(out.back().bytes, good) << c.what;
    }
}

TEST(ToolsDeviceScanner, WaitsForTheRestUntilTheGapExpires) {
    DeviceScanner s;
    s.feed(hex("09 03 00 1B"));
    EXPECT_FALSE(s.next(false).has_value());
    s.feed(hex("5D 34 12 56 00"));
    const auto r = s.next(false);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->kind, ScanResult::Kind::Frame);

    s.feed(hex("09 03 00"));
    EXPECT_FALSE(s.next(false).has_value());
    const auto gone = s.next(true);
    ASSERT_TRUE(gone.has_value());
    EXPECT_EQ(gone->kind, ScanResult::Kind::Dropped);
    EXPECT_EQ(toHex(gone->bytes), "09 03 00");
    EXPECT_FALSE(s.pending());
}

TEST(ToolsDeviceScanner, ReadsA24AsTheLengthOfADirectFrameWhenNoEnvelopeFits) {
    // A direct frame of last index 36 (0x24) carries a 31-byte raw payload.
    const Bytes payload(31, 0x55);
    const Bytes sent = encodeCommand({false, {}, 8, 0, payload});
    ASSERT_EQ(sent[0], 0x24);
    const auto out = scanAll(sent);
    ASSERT_EQ(out.size(), 1U);
    ASSERT_EQ(out[0].kind, ScanResult::Kind::Frame);
    EXPECT_FALSE(out[0].fields().multiplexed);
    EXPECT_EQ(toHex(out[0].fields().payload), toHex(payload));
}

}  // namespace
}  // namespace kavrol::tools
