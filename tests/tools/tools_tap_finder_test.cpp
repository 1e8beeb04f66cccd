// Reading captured hex text, finding frames in line traffic (damaged or
// not), and the pcap packets written for them.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "cli/capture/hex_log.h"
#include "cli/capture/pcap_writer.h"
#include "cli/capture/tap_finder.h"
#include "support/process.h"

namespace kavrol::tools {
namespace {

using Kind = FoundFrame::Kind;

Bytes hex(const char* text) { return *parseHex(text); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<FoundFrame> findAll(const Bytes& bytes, LineDirection d = LineDirection::Unknown, bool byteByByte = false) {
    TapFinder finder(d);
    std::vector<FoundFrame> out;
    const auto drain = [&](bool gap) {
        while (auto f = finder.next(gap)) out.push_back(std::move(*f));
    };
    if (byteByByte) {
        for (std::uint8_t b : bytes) {
            finder.feed(std::span(&b, 1));
            drain(false);
        }
    } else {
        finder.feed(bytes);
        drain(false);
    }
    drain(true);
    EXPECT_FALSE(finder.pending());
    std::size_t reported = 0;
    for (const FoundFrame& f : out) reported += f.bytes.size();
    EXPECT_EQ(reported, bytes.size()) << "every byte is reported once";
    return out;
}

std::string kinds(const std::vector<FoundFrame>& frames) {
    std::string s;
    for (const FoundFrame& f : frames)
        s += (s.empty() ? "" : ", ") + std::string(kindName(f.kind)) + " " + toHex(f.bytes);
    return s;
}

const Bytes kDirect = hex("09 03 00 1B 5D 34 12 56 00");
const Bytes kEnvelope = hex("24 0D 2F 02 01 05 3C 07 03 00 06 3D 02 01");
const Bytes kReply = replyFrame(1, 0, hex("06 07 08 09"));
const Bytes kErrorReply = replyFrame(249, 0, {});

Bytes withFlippedByte(Bytes b, std::size_t at) {
    b[at] ^= 0x40;
    return b;
}

TEST(ToolsTapFinder, SplitsTrafficIntoFramesCutFramesAndNoise) {
    struct Case {
        const char* what;
        Bytes bytes;
        LineDirection direction;
        std::string expected;
    };
    const Bytes halfReply(kReply.begin(), kReply.begin() + 5);
    const Case cases[] = {
        {"a transaction", concat({kDirect, kReply}), LineDirection::Unknown,
         "command " + toHex(kDirect) + ", reply " + toHex(kReply)},
        {"multiplexed command and error reply", concat({kEnvelope, kErrorReply}), LineDirection::Unknown,
         "command " + toHex(kEnvelope) + ", reply " + toHex(kErrorReply)},
        {"noise between frames", concat({hex("AA BB"), kDirect, hex("FF"), kReply}), LineDirection::Unknown,
         "noise AA BB, command " + toHex(kDirect) + ", noise FF, reply " + toHex(kReply)},
        {"a reply cut in half, then a whole one", concat({halfReply, kReply}), LineDirection::Device,
         "cut frame " + toHex(halfReply) + ", reply " + toHex(kReply)},
        {"a reply cut at the end of the input", halfReply, LineDirection::Device, "cut frame " + toHex(halfReply)},
        {"a command cut at the end of the input", Bytes(kDirect.begin(), kDirect.begin() + 4), LineDirection::Host,
         "cut frame 09 03 00 1B"},
        {"noise alone", hex("01 02 03"), LineDirection::Unknown, "noise 01 02 03"},
        // A reply start byte with a length byte no reader accepts: a bad
        // frame of what L announces, ended early by a valid frame.
        {"reply with L above 250", hex("3E FC 01 00 10 39"), LineDirection::Unknown, "bad frame 3E FC 01 00 10 39"},
        {"reply with L below 5", hex("3E 03 01 00"), LineDirection::Device, "bad frame 3E 03 01 00"},
        {"reply with L below 5, then a reply", concat({hex("3E 03 01 00 AA"), kReply}), LineDirection::Unknown,
         "bad frame 3E 03 01 00, noise AA, reply " + toHex(kReply)},
        {"reply with L above 250, then a reply", concat({hex("3E FF 01"), kReply}), LineDirection::Unknown,
         "bad frame 3E FF 01, reply " + toHex(kReply)},
        // Without a direction a direct command has no start byte to go by,
        // but one that breaks off where the input ends is still a cut frame.
        {"a command cut at the end, direction unknown", hex("05 01 00 05"), LineDirection::Unknown,
         "cut frame 05 01 00 05"},
        // ... but not when a damaged reply follows a stray byte.
        {"a stray byte, then a damaged reply", concat({hex("FF"), withFlippedByte(kReply, 7)}), LineDirection::Unknown,
         "noise FF, reply " + toHex(withFlippedByte(kReply, 7))},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kinds(findAll(c.bytes, c.direction)), c.expected) << c.what;
        // Bytes that trickle in one at a time give the same frames.
        EXPECT_EQ(kinds(findAll(c.bytes, c.direction, true)), c.expected) << c.what << ", byte by byte";
    }
}

TEST(ToolsTapFinder, DecodesCommandFields) {
    const auto direct = findAll(kDirect);
    ASSERT_EQ(direct.size(), 1U);
    EXPECT_FALSE(direct[0].multiplexed());
    EXPECT_EQ(direct[0].fields().command, 3);
    EXPECT_EQ(toHex(direct[0].fields().payload), "34 12 56 00");
    EXPECT_TRUE(direct[0].checksumOk());

    const auto mux = findAll(kEnvelope, LineDirection::Host);
    ASSERT_EQ(mux.size(), 1U);
    EXPECT_TRUE(mux[0].multiplexed());
    EXPECT_EQ(toHex(mux[0].fields().route), "01 05");
    EXPECT_EQ(toHex(mux[0].fields().payload), "02 01");
    EXPECT_EQ(mux[0].envelopeReceived, 0x2F);
    EXPECT_EQ(mux[0].envelopeComputed, 0x2F);
    EXPECT_EQ(mux[0].direction, LineDirection::Host);
}

TEST(ToolsTapFinder, KeepsFramesWhoseChecksumFailsWithBothSums) {
    struct Case {
        const char* what;
        Bytes bytes;
        LineDirection direction;
        Kind kind;
        TwoByteChecksum received;
        TwoByteChecksum computed;
        bool envelopeOk;
    };
    const Case cases[] = {
        // A reply's start byte marks its frame: it is kept even mid-stream.
        {"reply, payload byte hit",
         withFlippedByte(kReply, 7),
         LineDirection::Unknown,
         Kind::Reply,
         {kReply[4], kReply[5]},
         {static_cast<std::uint8_t>(kReply[4] ^ 0x40), kReply[5]},
         true},
        {"reply, checksum byte hit",
         withFlippedByte(kReply, 4),
         LineDirection::Device,
         Kind::Reply,
         {static_cast<std::uint8_t>(kReply[4] ^ 0x40), kReply[5]},
         {kReply[4], kReply[5]},
         true},
        // A direct command has no start byte on the line: one that ends
        // where the line goes quiet is taken whole.
        {"direct command",
         withFlippedByte(kDirect, 6),
         LineDirection::Host,
         Kind::Command,
         {0x1B, 0x5D},
         {0x5B, 0x5D},
         true},
        {"envelope, outer checksum",
         withFlippedByte(kEnvelope, 2),
         LineDirection::Unknown,
         Kind::Command,
         {0x06, 0x3D},
         {0x06, 0x3D},
         false},
    };
    for (const Case& c : cases) {
        const auto frames = findAll(c.bytes, c.direction);
        ASSERT_EQ(frames.size(), 1U) << c.what << ": " << kinds(frames);
        const FoundFrame& f = frames[0];
        EXPECT_EQ(f.kind, c.kind) << c.what;
        EXPECT_FALSE(f.checksumOk()) << c.what;
        EXPECT_EQ(toHex(f.bytes), toHex(c.bytes)) << c.what;
        EXPECT_EQ(hexByte(f.received.odd) + hexByte(f.received.even),
                  hexByte(c.received.odd) + hexByte(c.received.even))
            << c.what;
        EXPECT_EQ(hexByte(f.computed.odd) + hexByte(f.computed.even),
                  hexByte(c.computed.odd) + hexByte(c.computed.even))
            << c.what;
        EXPECT_EQ(f.envelopeReceived == f.envelopeComputed, c.envelopeOk) << c.what;
    }
}

TEST(ToolsTapFinder, DamagedCommandDoesNotSwallowTheReplyAfterIt) {
    const Bytes bad = withFlippedByte(kDirect, 7);
    const auto frames = findAll(concat({bad, kReply}));
    EXPECT_EQ(kinds(frames), "command " + toHex(bad) + ", reply " + toHex(kReply));
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_FALSE(frames[0].checksumOk());
    EXPECT_TRUE(frames[1].checksumOk());
}

TEST(ToolsTapFinder, WaitsForTheRestOfAFrameUntilTheLineIsQuiet) {
    TapFinder finder(LineDirection::Device);
    finder.feed(std::span(kReply).first(3), 1000);
    EXPECT_FALSE(finder.next(false));
    finder.feed(std::span(kReply).subspan(3), 2000);
    const auto f = finder.next(false);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, Kind::Reply);
    EXPECT_EQ(f->timeUs, 1000);  // when its first byte came
    EXPECT_FALSE(finder.pending());
}

TEST(ToolsTapFinder, NamesDamagedFramesWithTheDecodersReason) {
    const struct {
        Bytes bytes;
        const char* note;
    } cases[] = {
        {hex("3E FC 01 00 10 39"), "reply frame with length byte L = 252 is above 250"},
        {hex("3E 03 01 00"), "reply frame with length byte L = 3 is below 5, too short to hold a checksum"},
        {hex("05 01 00 05"), "direct command frame cut short: its header announces 5 bytes, 4 arrived"},
    };
    for (const auto& c : cases) {
        const auto frames = findAll(c.bytes);
        ASSERT_EQ(frames.size(), 1U) << kinds(frames);
        EXPECT_EQ(frames[0].note, c.note);
    }
}

TEST(ToolsTapFinder, WorkIsLinearWhenALongRunComesAtOnce) {
    // 200,000 bytes that begin no frame in one feed: the search for the next
    // valid frame is not repeated from every byte (that took hours here).
    Bytes noise(200'000);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i % 3 == 0 ? 0xFF : i % 5);
    noise.insert(noise.end(), kReply.begin(), kReply.end());
    const auto frames = findAll(noise);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().kind, Kind::Reply);
    EXPECT_EQ(frames.back().bytes, kReply);
}

TEST(ToolsTapFinder, LineThatNeverPausesIsStillDecided) {
    // A run of 3E bytes: every byte starts a reply of L = 62 whose checksum
    // fails, and no valid frame begins anywhere; the line never pauses.
    const Bytes noise(4000, kReplyStart);
    TapFinder finder(LineDirection::Device);
    std::size_t reportedBeforeQuiet = 0;
    for (std::size_t at = 0; at < noise.size(); at += 64) {
        finder.feed(std::span(noise).subspan(at, std::min<std::size_t>(64, noise.size() - at)));
        while (auto f = finder.next(false)) reportedBeforeQuiet += f->bytes.size();
    }
    EXPECT_GE(reportedBeforeQuiet, noise.size() - 2 * 1024);
}

TEST(ToolsHexLog, ReadsTimestampsDirectionsAndPrefixes) {
    const auto chunks = parseHexText(
        "12:34:56.789 host 09 03 0x00 1B:5D\n"
        "\n"
        "# a comment line\n"
        "1.5 device: 3E0B  # trailing comment\n"
        "0A 1B 2C\r\n");
    ASSERT_EQ(chunks.size(), 3U);
    EXPECT_EQ(chunks[0].timeUs, ((12 * 60 + 34) * 60 + 56) * 1000000LL + 789000);
    EXPECT_EQ(chunks[0].direction, LineDirection::Host);
    EXPECT_EQ(toHex(chunks[0].bytes), "09 03 00 1B 5D");
    EXPECT_EQ(chunks[1].line, 4U);
    EXPECT_EQ(chunks[1].timeUs, 1500000);
    EXPECT_EQ(chunks[1].direction, LineDirection::Device);
    EXPECT_EQ(toHex(chunks[1].bytes), "3E 0B");
    EXPECT_FALSE(chunks[2].timeUs);
    EXPECT_EQ(toHex(chunks[2].bytes), "0A 1B 2C");
    for (const HexChunk& c : chunks) EXPECT_TRUE(c.problems.empty()) << c.problems.front();
}

TEST(ToolsHexLog, ReportsBadTokensAndKeepsTheRest) {
    struct Case {
        const char* line;
        const char* bytes;
        const char* problem;
    };
    const Case cases[] = {
        {"09 03 0 1B", "09 03 1B", "line 1: '0' has an odd number of hex digits, skipped"},
        {"09 ZZ 1B", "09 1B", "line 1: 'ZZ' is not hex, skipped"},
        {"0x 05", "05", "line 1: '0x' has an odd number of hex digits, skipped"},
        // A time needs its fraction: colon-separated pairs stay bytes.
        {"12:34:56 07", "12 34 56 07", nullptr},
        // A direction word after the bytes is not a direction.
        {"05 host", "05", "line 1: 'host' is not hex, skipped"},
    };
    for (const Case& c : cases) {
        const auto chunk = parseHexLine(c.line, 1);
        ASSERT_TRUE(chunk) << c.line;
        EXPECT_EQ(toHex(chunk->bytes), c.bytes) << c.line;
        if (c.problem == nullptr) {
            EXPECT_TRUE(chunk->problems.empty()) << c.line;
        } else {
            ASSERT_EQ(chunk->problems.size(), 1U) << c.line;
            EXPECT_EQ(chunk->problems[0], c.problem);
        }
    }
}

TEST(ToolsHexLog, RefusesTimesAndDatesOutOfRangeNamingTheLine) {
    // Each line holds a time form that is unambiguous, so a field out of
    // range is an error (not bytes, not a wrapped time); the bytes after it
    // still count.
    struct Case {
        const char* line;
        const char* why;
    };
    const Case cases[] = {
        {"25:61:99.1 05 01", "time '25:61:99.1' is out of range (hours are 0..23), skipped"},
        {"23:60:00.0 05 01", "time '23:60:00.0' is out of range (minutes are 0..59), skipped"},
        {"23:59:60.5 05 01", "time '23:59:60.5' is out of range (seconds are 0..59), skipped"},
        // Seconds that used to overflow a 64-bit count of microseconds.
        {"9223372036855.1 05 01", "time '9223372036855.1' is out of range (seconds have at most 12 digits), skipped"},
        {"2026-12-10 24:00:00 05 01", "time '24:00:00' is out of range (hours are 0..23), skipped"},
        {"2026-13-01 10:00:00 05 01", "date '2026-13-01' is out of range (months are 1..12), skipped"},
        {"2025-02-29 10:00:00 05 01", "date '2025-02-29' is out of range (that month has no day 29), skipped"},
        {"1969-12-31 10:00:00 05 01", "date '1969-12-31' is out of range (years start at 1970), skipped"},
        {"2026-12-10 host 05 01", "date '2026-12-10' has no time after it"},
    };
    for (const Case& c : cases) {
        const auto chunk = parseHexLine(c.line, 7);
        ASSERT_TRUE(chunk) << c.line;
        EXPECT_EQ(toHex(chunk->bytes), "05 01") << c.line;
        ASSERT_EQ(chunk->problems.size(), 1U) << c.line;
        EXPECT_EQ(chunk->problems[0], std::string("line 7: ") + c.why);
    }
}

TEST(ToolsHexLog, ReadsTheTimeFormsOfOtherTools) {
    constexpr std::int64_t kDay20261210 = 20797;  // days since 1970-01-01
    const std::int64_t clock = ((15 * 60 + 23) * 60 + 46) * 1000000LL;
    struct Case {
        const char* line;
        std::optional<std::int64_t> timeUs;
        LineDirection direction;
        char side;
        bool header;
        const char* bytes;
    };
    const Case cases[] = {
        {"15:23 05 01", (15 * 60 + 23) * 60 * 1000000LL, LineDirection::Unknown, 0, false, "05 01"},
        {"7:05 05", (7 * 60 + 5) * 60 * 1000000LL, LineDirection::Unknown, 0, false, "05"},
        // A two-part token out of range is no time: the bytes 25 61.
        {"25:61 05", std::nullopt, LineDirection::Unknown, 0, false, "25 61 05"},
        {"2026-12-10 15:23:46.000 host 05 01", kDay20261210 * 86400000000LL + clock, LineDirection::Host, 0, false,
         "05 01"},
        {"2026-12-10 15:23:46 device 3E", kDay20261210 * 86400000000LL + clock, LineDirection::Device, 0, false, "3E"},
        // socat -x: a header whose bytes follow on the next line.
        {"> 2026/12/10 15:23:46.000123  length=5 from=0 to=4", kDay20261210 * 86400000000LL + clock + 123,
         LineDirection::Unknown, '>', true, ""},
        // Nanoseconds, as newer socat writes them: the microseconds are kept.
        {"< 2026/12/10 15:23:46.000831241  length=1 from=0 to=0", kDay20261210 * 86400000000LL + clock + 831,
         LineDirection::Unknown, '<', true, ""},
        // interceptty: one byte per line with its printable form.
        {"< \t0x05\t(^E)", std::nullopt, LineDirection::Unknown, '<', false, "05"},
        {">\t0x3e\t(>)", std::nullopt, LineDirection::Unknown, '>', false, "3E"},
        {"> \t0x28\t(()", std::nullopt, LineDirection::Unknown, '>', false, "28"},
        {"[12:00:01.5] 05", (12 * 3600 + 1) * 1000000LL + 500000, LineDirection::Unknown, 0, false, "05"},
    };
    for (const Case& c : cases) {
        const auto chunk = parseHexLine(c.line, 1);
        ASSERT_TRUE(chunk) << c.line;
        EXPECT_EQ(chunk->timeUs, c.timeUs) << c.line;
        EXPECT_EQ(chunk->direction, c.direction) << c.line;
        EXPECT_EQ(chunk->side, c.side) << c.line;
        EXPECT_EQ(chunk->header, c.header) << c.line;
        EXPECT_EQ(toHex(chunk->bytes), c.bytes) << c.line;
        EXPECT_TRUE(chunk->problems.empty()) << c.line << ": " << chunk->problems.front();
    }
    // The written time of day comes back from a dated time.
    EXPECT_EQ(clockText(kDay20261210 * 86400000000LL + clock + 7000), "15:23:46.007");
}

TEST(ToolsHexLog, TheLinesOfASocatBlockTakeItsHeader) {
    const auto chunks = parseHexText(
        "> 2026/12/10 15:23:46.000123  length=5 from=0 to=4\n"
        " 05 01 00 05 3d\n"
        "--\n"
        "< 2026/12/10 15:23:46.002000  length=6 from=0 to=5\n"
        " 3e 05 01 00\n"
        " 05 3a\n"
        "--\n"
        "0A 0B\n");
    ASSERT_EQ(chunks.size(), 6U);
    EXPECT_TRUE(chunks[0].header);
    EXPECT_EQ(chunks[1].timeUs, chunks[0].timeUs);
    EXPECT_EQ(chunks[1].side, '>');
    EXPECT_EQ(toHex(chunks[1].bytes), "05 01 00 05 3D");
    EXPECT_EQ(chunks[4].side, '<');
    EXPECT_EQ(chunks[4].timeUs, chunks[2].timeUs);
    EXPECT_EQ(chunks[4].line, 6U);
    // After the block's end a line is on its own again.
    EXPECT_EQ(chunks[5].side, 0);
    EXPECT_FALSE(chunks[5].timeUs);
}

TEST(ToolsHexLog, RawLogLinesReadBack) {
    const std::int64_t t = ((23 * 60 + 59) * 60 + 59) * 1000000LL + 999000;
    const auto chunk = parseHexLine(rawLogLine(t, LineDirection::Device, kReply), 7);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->timeUs, t);
    EXPECT_EQ(chunk->direction, LineDirection::Device);
    EXPECT_EQ(chunk->bytes, kReply);
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} | (std::uint32_t{b[at + 1]} << 8) | (std::uint32_t{b[at + 2]} << 16) |
           (std::uint32_t{b[at + 3]} << 24);
}

TEST(ToolsPcap, OnePacketPerFrameWithItsPseudoHeader) {
    const std::string path = test::tempPath("capture.pcap");
    const auto frames = findAll(concat({kEnvelope, kReply}));
    ASSERT_EQ(frames.size(), 2U);
    {
        PcapWriter w(path);
        w.write(frames[0], 1'700'000'000'123'456LL);
        w.write(frames[1], 1'700'000'001'000'000LL);
    }
    std::ifstream in(path, std::ios::binary);
    const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::remove(path.c_str());
    ASSERT_EQ(file.size(), 24 + 16 + 4 + kEnvelope.size() + 16 + 4 + kReply.size());
    EXPECT_EQ(le32(file, 0), 0xA1B2C3D4U);
    EXPECT_EQ(le32(file, 20), kPcapLinkTypeUser0);
    // First record: time, lengths, pseudo-header (version 1, direction
    // unknown, command, envelope flag), the bytes.
    EXPECT_EQ(le32(file, 24), 1'700'000'000U);
    EXPECT_EQ(le32(file, 28), 123'456U);
    EXPECT_EQ(le32(file, 32), 4 + kEnvelope.size());
    EXPECT_EQ(le32(file, 36), 4 + kEnvelope.size());
    EXPECT_EQ(toHex(std::span(file).subspan(40, 4)), "01 00 01 01");
    EXPECT_EQ(toHex(std::span(file).subspan(44, kEnvelope.size())), toHex(kEnvelope));
    const std::size_t second = 44 + kEnvelope.size();
    EXPECT_EQ(toHex(std::span(file).subspan(second + 16, 4)), "01 00 02 00");
}

}  // namespace
}  // namespace kavrol::tools
