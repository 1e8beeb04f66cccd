// The host's command value: what it sends through the link API, how a
// user's payload is taken or refused, and how it is described.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/host_command.h"
#include "kavrol32/link.h"
#include "pty/pty_pair.h"

namespace kavrol::tools {
namespace {

HostCommand commandOf(std::uint8_t command, std::uint8_t sub = 0) {
    HostCommand c;
    c.command = command;
    c.subCommand = sub;
    return c;
}

// Sends the command on a link over a pty; the result and the bytes sent.
std::pair<std::int32_t, std::string> sendOverPty(const HostCommand& c) {
    pty::PtyPair pair;
    KavrolLink link;
    kavrol_link_init(&link, reinterpret_cast<void*>(static_cast<std::intptr_t>(pair.port())),
                     2000);  // generous: a loaded machine
    const KavrolCommand k = c.linkCommand();
    const std::int32_t result = kavrol_link_send(&link, &k);
    std::uint8_t sent[KAVROL_MAX_COMMAND_FRAME];
    const std::int32_t n = kavrol_link_last_sent(&link, sent, sizeof sent);
    return {result, toHex(std::span(sent, static_cast<std::size_t>(n < 0 ? 0 : n)))};
}

TEST(ToolsHostCommand, ACopySendsItsOwnRawBytes) {
    auto original = std::make_unique<HostCommand>(commandOf(8, 1));
    ASSERT_EQ(original->setPayload({}, Bytes{0x41, 0x42, 0x43}), "");
    const HostCommand copy = *original;
    original->raw.assign(3, 0xEE);  // what the copy must not send
    const KavrolCommand k = copy.linkCommand();
    EXPECT_EQ(k.rawData, copy.raw.data());
    original.reset();
    EXPECT_EQ(sendOverPty(copy), std::make_pair(1, std::string("08 08 01 4B 36 41 42 43")));
}

TEST(ToolsHostCommand, SendsWhatItHolds) {
    struct Case {
        const char* what;
        HostCommand command;
        std::int32_t result;
        const char* sent;
    };
    HostCommand words = commandOf(3);
    words.setPayload(std::vector<std::uint16_t>{0x1234, 0x0056}, {});
    HostCommand routed = commandOf(3);
    routed.muxMode = 1;
    routed.setRoute(Bytes{1, 5});
    routed.setPayload(std::vector<std::uint16_t>{0x0102}, {});
    HostCommand fiveItems = commandOf(5, 7);  // a KavrolCommand of five items sends no payload
    fiveItems.itemCount = 5;
    fiveItems.words[0] = 0xFFFF;
    HostCommand oversized = commandOf(8);  // more raw bytes than itemCount can count
    oversized.raw.assign(300, 1);
    const Case cases[] = {
        {"words", words, 1, "09 03 00 1B 5D 34 12 56 00"},
        {"multiplexed", routed, 1, "24 0D 2F 02 01 05 3C 07 03 00 06 3D 02 01"},
        {"five items", fiveItems, 1, "05 05 07 02 39"},
        {"300 raw bytes", oversized, KAVROL_E_REJECTED, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sendOverPty(c.command), std::make_pair(c.result, std::string(c.sent))) << c.what;
}

TEST(ToolsHostCommand, RefusesAPayloadTheCommandDoesNotTakeAndStoresNothing) {
    struct Case {
        std::uint8_t command;
        std::vector<std::uint16_t> words;
        Bytes raw;
        const char* error;
        std::uint8_t itemCount;  // afterwards
    };
    const Case cases[] = {
        {3, {1, 2, 3, 4, 5}, {}, "at most 4 words, 5 given", 0},
        {3, {1, 2, 3, 4}, {}, "", 4},
        {8, {1}, {0x41}, "command 8 takes raw bytes (--raw), not words", 0},
        {11, {}, {0x41, 0x42}, "", 2},
        {3, {}, {0x41}, "only commands 8 and 11 take raw bytes; use --words for command 3", 0},
    };
    for (const Case& c : cases) {
        HostCommand h = commandOf(c.command);
        EXPECT_EQ(h.setPayload(c.words, c.raw), c.error) << unsigned(c.command);
        EXPECT_EQ(h.itemCount, c.itemCount) << unsigned(c.command);
        EXPECT_EQ(h.raw.empty(), c.command != 11) << unsigned(c.command);
    }
    HostCommand h = commandOf(3);
    EXPECT_EQ(h.setRoute(Bytes(10, 1)), "a route has at most 9 bytes, 10 given");
    EXPECT_EQ(h.routeCount, 0);
}

TEST(ToolsHostCommand, CheckSaysWhyACommandCannotGoOut) {
    struct Case {
        const char* what;
        HostCommand command;
        const char* error;
    };
    HostCommand unrouted = commandOf(3);
    unrouted.setRoute(Bytes{1});
    HostCommand longDirect = commandOf(8);
    longDirect.raw.assign(45, 1);
    HostCommand fitsDirect = commandOf(8);
    fitsDirect.raw.assign(44, 1);
    HostCommand longRouted = commandOf(11);
    longRouted.muxMode = 1;
    longRouted.setRoute(Bytes(9, 1));
    longRouted.raw.assign(32, 1);
    HostCommand fiveWords = commandOf(3);
    fiveWords.itemCount = 5;
    HostCommand rawForWords = commandOf(4);
    rawForWords.raw = {1};
    const Case cases[] = {
        {"route without multiplexer", unrouted, "a route needs a multiplexed frame"},
        {"45 raw bytes direct", longDirect,
         "raw payload of 45 bytes does not fit the frame (at most 44 in a direct frame)"},
        {"44 raw bytes direct", fitsDirect, ""},
        {"32 raw bytes after 9 route bytes", longRouted,
         "raw payload of 32 bytes does not fit the frame (at most 31 with this route)"},
        {"five words", fiveWords, "at most 4 words, 5 given"},
        {"raw bytes for command 4", rawForWords, "only commands 8 and 11 take raw bytes; use --words for command 4"},
    };
    for (const Case& c : cases) EXPECT_EQ(checkCommand(c.command), c.error) << c.what;
}

TEST(ToolsHostCommand, DescribesTheFrameItSends) {
    HostCommand words = commandOf(3);
    words.setPayload(std::vector<std::uint16_t>{0x1234}, {});
    HostCommand routed = commandOf(8, 2);
    routed.muxMode = 1;
    routed.setRoute(Bytes{1, 5});
    routed.setPayload({}, Bytes{0x41});
    HostCommand emptyRoute = commandOf(1);
    emptyRoute.muxMode = 1;
    HostCommand fiveItems = commandOf(3);
    fiveItems.itemCount = 5;
    EXPECT_EQ(describeCommand(words), "direct command 3, sub-command 0, payload 34 12");
    EXPECT_EQ(describeCommand(routed), "multiplexed (route 01,05) command 8, sub-command 2, payload 41");
    EXPECT_EQ(describeCommand(emptyRoute), "multiplexed (route empty) command 1, sub-command 0, no payload");
    EXPECT_EQ(describeCommand(fiveItems), "direct command 3, sub-command 0, no payload");
    EXPECT_EQ(words.wordList().size(), 1U);
    EXPECT_TRUE(fiveItems.wordList().empty());
}

}  // namespace
}  // namespace kavrol::tools
