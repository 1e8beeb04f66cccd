// One set of hand-made frames through every reader of the protocol: the
// library's encoder, its decoder and reply judgement, and the Wireshark
// dissector (through tshark); the Python tests read the same table. They
// agree on every field and fault. Then packets no tool would write, which
// the dissector must mark without a Lua error.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include <unistd.h>
#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "protocol/command_decoding.h"
#include "protocol/command_encoding.h"
#include "protocol/reply_frame.h"
#include "support/process.h"

namespace kavrol::tools::test {
namespace {

using nlohmann::json;

Bytes hex(const json& text) { return *parseHex(text.get<std::string>()); }

std::vector<json> lineFrames() {
    std::ifstream in(KAVROL_LINE_FRAMES);
    return json::parse(in).at("frames").get<std::vector<json>>();
}

bool isCommand(const json& row) { return row["side"] == "command"; }

// A pcap file of DLT_USER0 packets, each the 4-byte pseudo-header and the
// bytes, written here so that packets no tool writes can be made too.
class RawPcap {
public:
    void add(const Bytes& packet) { packets_.push_back(packet); }
    void add(std::uint8_t direction, std::uint8_t kind, std::uint8_t flags, const Bytes& bytes) {
        Bytes p{1, direction, kind, flags};
        p.insert(p.end(), bytes.begin(), bytes.end());
        add(p);
    }
    void write(const std::string& path) const {
        std::ofstream out(path, std::ios::binary);
        const auto le32 = [&](std::uint32_t v) {
            for (int i = 0; i < 4; ++i) out.put(static_cast<char>((v >> (8 * i)) & 0xFF));
        };
        le32(0xA1B2C3D4U);
        le32(0x00040002U);  // version 2.4
        le32(0);
        le32(0);
        le32(65535);
        le32(147);  // DLT_USER0
        std::uint32_t second = 0;
        for (const Bytes& p : packets_) {
            le32(++second);
            le32(0);
            le32(static_cast<std::uint32_t>(p.size()));
            le32(static_cast<std::uint32_t>(p.size()));
            out.write(reinterpret_cast<const char*>(p.data()), static_cast<std::streamsize>(p.size()));
        }
    }

private:
    std::vector<Bytes> packets_;
};

void addRow(RawPcap& pcap, const json& row) {
    const bool command = isCommand(row);
    pcap.add(command ? 1 : 2, command ? 1 : 2, command && row["multiplexed"].get<bool>() ? 1 : 0, hex(row["bytes"]));
}

bool haveTshark() { return ::access("/usr/bin/tshark", X_OK) == 0; }

// tshark's fields of every packet, one line each, '|' between fields.
std::vector<std::vector<std::string>> dissectFields(const RawPcap& pcap, const std::vector<std::string>& fields,
                                                    std::string* all = nullptr) {
    const std::string path = tempPath("frames.pcap");
    pcap.write(path);
    std::vector<std::string> argv{"/usr/bin/tshark",
                                  "-X",
                                  std::string("lua_script:") + KAVROL_LUA_DISSECTOR,
                                  "-r",
                                  path,
                                  "-T",
                                  "fields",
                                  "-E",
                                  "separator=|",
                                  "-E",
                                  "occurrence=a",
                                  "-E",
                                  "aggregator=,"};
    for (const std::string& f : fields) {
        argv.push_back("-e");
        argv.push_back(f);
    }
    const RunResult r = run(argv, 60000);
    if (all != nullptr)
        *all =
            r.out + r.err +
            run({"/usr/bin/tshark", "-X", std::string("lua_script:") + KAVROL_LUA_DISSECTOR, "-r", path, "-V"}, 60000)
                .out;
    std::remove(path.c_str());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::vector<std::string>> out;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> cells;
        std::size_t start = 0;
        for (;;) {
            const std::size_t bar = line.find('|', start);
            cells.push_back(line.substr(start, bar - start));
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        out.push_back(cells);
    }
    return out;
}

// tshark writes bytes fields as plain lower-case hex, hex uint8 as 0x.. .
std::string tsharkBytes(const Bytes& b) {
    std::string s;
    for (std::uint8_t v : b) s += hexByte(v);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
std::string tsharkRoute(const Bytes& b) {
    std::string s;
    for (std::uint8_t v : b) {
        std::string one = hexByte(v);
        for (char& c : one) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        s += (s.empty() ? "0x" : ",0x") + one;
    }
    return s;
}

TEST(LineFrames, TheTableHoldsFortyFramesOfEveryKind) {
    const auto rows = lineFrames();
    EXPECT_GE(rows.size(), 40U);
    std::set<std::string> faults;
    for (const json& row : rows) faults.insert(row["side"].get<std::string>() + " " + row["fault"].get<std::string>());
    // Every fault of both readers occurs (no-reply aside: a packet has bytes).
    EXPECT_EQ(faults.size(), 9U + 7U) << json(faults).dump();
}

TEST(LineFrames, TheEncoderWritesEveryWholeFrame) {
    for (const json& row : lineFrames()) {
        if (!row.contains("payload") || (row["fault"] != "none" && row["fault"] != "device-error")) continue;
        SCOPED_TRACE(row["name"].get<std::string>());
        const Bytes bytes = hex(row["bytes"]);
        const Bytes payload = hex(row["payload"]);
        if (isCommand(row)) {
            const Bytes route = hex(row["route"]);
            std::array<std::uint8_t, protocol::kCommandAreaSize> area{};
            const std::int32_t n =
                protocol::encodeCommandFrame({row["multiplexed"].get<bool>(), route, row["command"].get<std::uint8_t>(),
                                              row["sub"].get<std::uint8_t>(), payload},
                                             area);
            ASSERT_GT(n, 0);
            EXPECT_EQ(toHex(std::span(area).first(static_cast<std::size_t>(n))), toHex(bytes));
        } else {
            Bytes frame(protocol::kReceiveAreaSize);
            const std::size_t n = protocol::writeReplyFrame(row["code"].get<std::uint8_t>(),
                                                            row["r3"].get<std::uint8_t>(), payload, frame);
            ASSERT_GT(n, 0U);
            // Bytes after the frame are the table's, not the frame's.
            EXPECT_EQ(toHex(std::span(frame).first(n)), toHex(std::span(bytes).first(n)));
        }
    }
}

TEST(LineFrames, TheDecoderFindsEveryFieldAndFault) {
    for (const json& row : lineFrames()) {
        SCOPED_TRACE(row["name"].get<std::string>());
        const Bytes bytes = hex(row["bytes"]);
        if (isCommand(row)) {
            const auto form =
                row["multiplexed"].get<bool>() ? protocol::CommandForm::Multiplexed : protocol::CommandForm::Direct;
            const protocol::CommandDecoding d = protocol::decodeCommandFrame(bytes, form);
            EXPECT_EQ(protocol::commandFaultName(d.fault), row["fault"].get<std::string>());
            if (!row.contains("payload")) continue;
            EXPECT_EQ(d.fields.command, row["command"].get<unsigned>());
            EXPECT_EQ(d.fields.subCommand, row["sub"].get<unsigned>());
            EXPECT_EQ(toHex(d.fields.route), row["route"].get<std::string>());
            EXPECT_EQ(toHex(d.fields.payload), row["payload"].get<std::string>());
        } else {
            const protocol::ReplyJudgement j = protocol::judgeReply(bytes);
            EXPECT_EQ(protocol::replyFaultName(j.fault), row["fault"].get<std::string>());
            EXPECT_EQ(j.status, row["status"].get<std::int32_t>());
            if (!row.contains("payload")) continue;
            EXPECT_EQ(bytes[2], row["code"].get<unsigned>());
            EXPECT_EQ(toHex(std::span(bytes).subspan(6, j.last - 5U)), row["payload"].get<std::string>());
        }
    }
}

TEST(LineFrames, TheDissectorFindsEveryFieldAndFault) {
    if (!haveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
    const auto rows = lineFrames();
    RawPcap pcap;
    for (const json& row : rows) addRow(pcap, row);
    const auto packets =
        dissectFields(pcap, {"kavrol.fault", "kavrol.command", "kavrol.sub_command", "kavrol.route.byte",
                             "kavrol.payload", "kavrol.reply.code", "kavrol.reply.status"});
    ASSERT_EQ(packets.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const json& row = rows[i];
        SCOPED_TRACE(row["name"].get<std::string>());
        const auto& p = packets[i];
        ASSERT_EQ(p.size(), 7U);
        EXPECT_EQ(p[0], row["fault"].get<std::string>());
        const bool fields = row.contains("payload");
        const std::string payload = fields ? tsharkBytes(hex(row["payload"])) : "";
        if (isCommand(row)) {
            EXPECT_EQ(p[1], fields ? std::to_string(row["command"].get<unsigned>()) : "");
            EXPECT_EQ(p[2], fields ? std::to_string(row["sub"].get<unsigned>()) : "");
            EXPECT_EQ(p[3], fields ? tsharkRoute(hex(row["route"])) : "");
            EXPECT_EQ(p[4], payload);
        } else {
            EXPECT_EQ(p[5], fields ? std::to_string(row["code"].get<unsigned>()) : "");
            EXPECT_EQ(p[6], std::to_string(row["status"].get<std::int32_t>()));
            EXPECT_EQ(p[4], payload);
        }
    }
}

// The checksum status filters as Wireshark's own (1 good, 0 bad), and the
// envelope flag is a boolean of the flags byte.
TEST(Dissector, ChecksumStatusAndEnvelopeFlagFilter) {
    if (!haveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
    RawPcap pcap;
    for (const json& row : lineFrames()) addRow(pcap, row);
    const auto packets = dissectFields(pcap, {"kavrol.checksum.status", "kavrol.flags.envelope", "kavrol.fault"});
    std::size_t good = 0;
    for (const auto& p : packets) {
        ASSERT_EQ(p.size(), 3U);
        if (p[0] == "1") ++good;
        // Good where the frame holds, bad where its two-byte checksum fails.
        if (p[2] == "none" || p[2] == "device-error") {
            EXPECT_EQ(p[0], "1");
        }
        if (p[2] == "checksum-mismatch") {
            EXPECT_EQ(p[0], "0");
        }
    }
    EXPECT_GE(good, 10U);
    std::size_t envelopes = 0;
    for (const json& row : lineFrames()) envelopes += isCommand(row) && row["multiplexed"].get<bool>() ? 1U : 0U;
    // The display filters select the same packets.
    const std::string path = tempPath("filter.pcap");
    pcap.write(path);
    const auto count = [&](const std::string& filter) {
        const RunResult r = run({"/usr/bin/tshark", "-X", std::string("lua_script:") + KAVROL_LUA_DISSECTOR, "-r", path,
                                 "-Y", filter, "-T", "fields", "-e", "frame.number"},
                                60000);
        EXPECT_EQ(r.exitCode, 0) << filter << ": " << r.err;
        return static_cast<std::size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
    };
    EXPECT_EQ(count("kavrol.checksum.status == 1"), good);
    EXPECT_EQ(count("kavrol.flags.envelope == 1"), envelopes);
    std::remove(path.c_str());
}

// A device error whose checksum fails is a frame error, as the library
// reports it: the checksum is judged first.
TEST(Dissector, ChecksumIsJudgedBeforeTheDeviceErrorCode) {
    if (!haveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
    RawPcap pcap;
    pcap.add(2, 2, 0, *parseHex("3E 05 F9 00 05 C8"));
    std::string all;
    const auto packets = dissectFields(pcap, {"kavrol.reply.status", "kavrol.reply.device_error"}, &all);
    ASSERT_EQ(packets.size(), 1U);
    EXPECT_EQ(packets[0][0], "-3");
    EXPECT_EQ(packets[0][1], "") << "a damaged frame names no device error";
    EXPECT_EQ(all.find("device error 249"), std::string::npos) << all;
}

TEST(Dissector, MarksHostilePacketsWithoutALuaError) {
    if (!haveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
    const struct {
        const char* what;
        Bytes packet;
        const char* fault;  // kavrol.fault, "" for none shown
    } cases[] = {
        {"route count 9 in a 5-byte envelope", {1, 1, 1, 1, 0x24, 0x0D, 0x00, 0x09, 0x01}, "cut"},
        {"route count 255", {1, 1, 1, 1, 0x24, 0x0A, 0x00, 0xFF, 0x01, 0x02}, "cut"},
        {"whole envelope, route count 255",
         Bytes{1, 1, 1, 1, 0x24, 0x0A, 0x00, 0xFF, 0x3C, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00}, "route-out-of-range"},
        {"multiplexed flag on a direct frame",
         {1, 1, 1, 1, 0x09, 0x03, 0x00, 0x1B, 0x5D, 0x34, 0x12, 0x56, 0x00},
         "not-this-form"},
        {"inner frame shorter than 6 bytes", {1, 1, 1, 1, 0x24, 0x09, 0x00, 0x00, 0x3C, 0x03}, "cut"},
        {"a valid reply and 3 bytes more",
         {1, 2, 2, 0, 0x3E, 0x08, 0x01, 0x00, 0x0F, 0x31, 0x06, 0x07, 0x08, 0xAA, 0xBB, 0xCC},
         "none"},
        {"a reply of L 250 with 6 bytes", {1, 2, 2, 0, 0x3E, 0xFA, 0x01, 0x00, 0xC5, 0xFB}, "cut"},
        {"a command of L 49 with 5 bytes", {1, 1, 1, 0, 0x31, 0x01, 0x00, 0x00, 0x00}, "cut"},
        {"a cut frame from the host", {1, 1, 3, 0, 0x09, 0x03}, "cut"},
        {"a bad frame from the device", {1, 2, 5, 0, 0x3E, 0xFC, 0x01}, "length-above-range"},
        {"a reply kind with no bytes", {1, 2, 2, 0}, "no-reply"},
        {"a command kind with no bytes", {1, 1, 1, 1}, "cut"},
        {"an unknown kind", {1, 0, 9, 0xFF, 0x01}, ""},
        {"shorter than the pseudo-header", {1, 1}, ""},
        {"no bytes at all", {}, ""},
    };
    RawPcap pcap;
    for (const auto& c : cases) pcap.add(c.packet);
    std::string all;
    const auto packets = dissectFields(pcap, {"kavrol.fault", "kavrol.checksum.status"}, &all);
    EXPECT_EQ(all.find("Lua Error"), std::string::npos) << all;
    EXPECT_EQ(all.find("not dissected"), std::string::npos) << all;
    ASSERT_EQ(packets.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(packets[i][0], cases[i].fault) << cases[i].what;
        // The reply with bytes after it is judged over 0..L: good.
        if (std::string(cases[i].what) == "a valid reply and 3 bytes more") {
            EXPECT_EQ(packets[i][1], "1");
        }
        // A cut frame has no checksum verdict.
        if (std::string(cases[i].fault) == "cut") {
            EXPECT_EQ(packets[i][1], "") << cases[i].what;
        }
    }
}

}  // namespace
}  // namespace kavrol::tools::test
