// Command frames through the fake host: exact bytes, call order, size limits.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "link/link_state.h"
#include "link/timed_io.h"
#include "support/command_examples.h"
#include "support/fake_calls.h"
#include "support/fake_fixture.h"
#include "support/frames.h"

namespace kavrol::test {
namespace {

class CommandExampleTest : public FakeHostTest, public ::testing::WithParamInterface<CommandExample> {};

TEST_P(CommandExampleTest, SendsExactlyTheseBytesAfterBothPurges) {
    const CommandExample& example = GetParam();
    bind(100);
    fake().outDrainQueries = 1;
    EXPECT_EQ(muxSend(example.args), 1);
    EXPECT_EQ(bytesOf(fake().written()), example.sent);

    const auto calls = portCalls(fake());
    ASSERT_EQ(calls.size(), 5U);
    expectPurgesThenOneWrite(calls, example.sent.size(), link::libraryState().defaultLink.portOverlapped);
}

INSTANTIATE_TEST_SUITE_P(Examples, CommandExampleTest, ::testing::ValuesIn(commandExamples()),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// Four words, the largest word payload, with every payload byte distinct:
// each word goes out low byte first in its own place.
const CommandExample kFourWordExamples[] = {
    {"DirectFourWords",
     {0, 3, 0, {}, 4, {0x1234, 0x5678, 0x9ABC, 0xDEF0}, 0, nullptr},
     {0x0D, 0x03, 0x00, 0x0D, 0x3F, 0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A, 0xF0, 0xDE}},
    {"MuxFourWords",
     {1, 3, 0, {0x01}, 4, {0x1234, 0x5678, 0x9ABC, 0xDEF0}, 1, nullptr},
     {0x24, 0x12, 0x36, 0x01, 0x01, 0x3C, 0x0D, 0x03, 0x00, 0x0D, 0x3F, 0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A, 0xF0,
      0xDE}},
};
INSTANTIATE_TEST_SUITE_P(FourWords, CommandExampleTest, ::testing::ValuesIn(kFourWordExamples),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// A raw command with a single byte sends that byte.
const std::uint8_t kOneRawByte[] = {0x41};
const CommandExample kOneRawByteExamples[] = {
    {"DirectRawOneByte", {0, 8, 1, {}, 1, {}, 0, kOneRawByte}, {0x06, 0x08, 0x01, 0x07, 0x75, 0x41}},
    // A word with both end bits of its low 16 set; the high 16 are dropped.
    {"DirectOddWord", {0, 3, 0, {}, 1, {0xFFFF8001U}, 0, nullptr}, {0x07, 0x03, 0x00, 0x87, 0x3E, 0x01, 0x80}},
};
INSTANTIATE_TEST_SUITE_P(OneRawByte, CommandExampleTest, ::testing::ValuesIn(kOneRawByteExamples),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

class CommandFrameTest : public FakeHostTest {};

TEST_F(CommandFrameTest, ResultIsTheWriteTimeOut) {
    bind(15);
    fake().outStuck = true;
    const CommandExample& example = commandExamples().front();
    EXPECT_EQ(muxSend(example.args), -2);
    EXPECT_EQ(bytesOf(fake().written()), example.sent);
}

TEST_F(CommandFrameTest, BytesReceivedBeforeTheCommandAreDiscarded) {
    bind(100);
    fake().feed({0xEE, 0xEE, 0xEE});
    fake().replyOnWrite({0x3E, 0x07});
    EXPECT_EQ(muxSend(commandExamples().front().args), 1);
    std::uint8_t reply[2] = {};
    ASSERT_EQ(link::timedRead(link::defaultLink(), reply, 2), 1);
    EXPECT_EQ(Bytes(reply, reply + 2), (Bytes{0x3E, 0x07}));
    EXPECT_EQ(fake().pendingInput(), 0U);
}

// A raw payload of `size` bytes 0x01, 0x02, ...
Bytes rawPayload(std::size_t size) {
    Bytes p(size);
    for (std::size_t i = 0; i < size; ++i) p[i] = static_cast<std::uint8_t>(i + 1);
    return p;
}

SendArgs rawCommand(std::uint32_t command, const Bytes& payload, std::uint32_t muxMode, std::uint32_t routeCount) {
    SendArgs a;
    a.routeCount = routeCount;
    a.command = command;
    a.subCommand = 0x42;
    for (std::size_t i = 0; i < a.route.size(); ++i) a.route[i] = 0xB0 + static_cast<std::uint32_t>(i);
    a.itemCount = static_cast<std::uint32_t>(payload.size());
    a.muxMode = muxMode;
    a.rawData = payload.data();
    return a;
}

// The expected line bytes, built independently of the library.
Bytes expectedDirect(std::uint8_t command, const Bytes& payload) {
    Bytes f = replyFrame(command, 0x42, payload, 0x3C);
    f.erase(f.begin());
    return f;
}

Bytes expectedMultiplexed(std::uint8_t command, const Bytes& payload, unsigned n) {
    const Bytes inner = replyFrame(command, 0x42, payload, 0x3C);
    Bytes f = {0x24, static_cast<std::uint8_t>(9 + n + payload.size()), 0x00, static_cast<std::uint8_t>(n)};
    for (unsigned i = 0; i < n; ++i) f.push_back(static_cast<std::uint8_t>(0xB0 + i));
    f.insert(f.end(), inner.begin(), inner.end());
    std::uint8_t x = 0;  // test oracle: the envelope checksum computed here, not by the library
    for (const std::uint8_t b : f) x ^= b;
    f[2] = x;
    return f;
}

struct LimitCase {
    const char* name;
    std::uint32_t command;
    std::uint32_t muxMode;
    std::uint32_t routeCount;
    std::size_t payload;
    bool fits;
};

const LimitCase kLimitCases[] = {
    {"Direct44Fits", 8, 0, 0, 44, true},
    {"Direct44FitsCommand11", 11, 0, 0, 44, true},
    {"Direct45Rejected", 8, 0, 0, 45, false},
    {"Direct45RejectedCommand11", 11, 0, 0, 45, false},
    {"Direct255Rejected", 8, 0, 0, 255, false},
    {"Mux0Route40Fits", 11, 1, 0, 40, true},
    {"Mux0Route41Rejected", 11, 1, 0, 41, false},
    {"Mux5Route35Fits", 8, 1, 5, 35, true},
    {"Mux5Route36Rejected", 8, 1, 5, 36, false},
    {"Mux9Route31Fits", 8, 1, 9, 31, true},
    {"Mux9Route32Rejected", 8, 1, 9, 32, false},
    {"Mux257Mode9Route32Rejected", 8, 257, 9, 32, false},
    {"MuxRouteCount10Rejected", 8, 1, 10, 0, false},
    {"MuxRouteCount255Rejected", 8, 1, 255, 0, false},
};

class LimitTest : public FakeHostTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(LimitTest, FitsExactlyAtTheEdgeOrIsRejectedBeforeAnyPortCall) {
    const LimitCase& c = GetParam();
    bind(100);
    fake().feed({0xEE});
    const Bytes payload = rawPayload(c.payload);
    const std::int32_t result = muxSend(rawCommand(c.command, payload, c.muxMode, c.routeCount));
    if (!c.fits) {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(fake().recordCount(), 0U);
        EXPECT_TRUE(fake().written().empty());
        EXPECT_EQ(fake().pendingInput(), 1U);
        return;
    }
    EXPECT_EQ(result, 1);
    const auto command = static_cast<std::uint8_t>(c.command);
    const Bytes expected = (c.muxMode & 0xFF) == 1 ? expectedMultiplexed(command, payload, c.routeCount)
                                                   : expectedDirect(command, payload);
    EXPECT_EQ(bytesOf(fake().written()), expected);
}

TEST_F(CommandFrameTest, WordCommandWithRouteCount10MultiplexedIsRejected) {
    bind(100);
    SendArgs a;
    a.routeCount = 10;
    a.command = 3;
    a.itemCount = 1;
    a.words = {0x0102, 0, 0, 0};
    a.muxMode = 1;
    EXPECT_EQ(muxSend(a), -1);
    EXPECT_EQ(fake().recordCount(), 0U);
}

INSTANTIATE_TEST_SUITE_P(WorkArea, LimitTest, ::testing::ValuesIn(kLimitCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

}  // namespace
}  // namespace kavrol::test
