// Timed port I/O through the fake host: call order, the deadline rule, tick
// wrap, failed calls, binding and the acknowledge.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "link/link_state.h"
#include "link/timed_io.h"
#include "support/fake_calls.h"
#include "support/fake_fixture.h"

namespace kavrol::test {
namespace {

using namespace link;

using Bytes = std::vector<std::uint8_t>;

class TimedWriteTest : public FakeHostTest {};

TEST_F(TimedWriteTest, PurgesReceiveThenTransmitThenWritesWithTheLinkRecordThenPolls) {
    bind(100);
    fake().outDrainQueries = 2;
    const std::uint8_t block[] = {0x11, 0x22, 0x33};

    EXPECT_EQ(timedWrite(link::defaultLink(), block, 3), 1);

    const auto calls = portCalls(fake());
    ASSERT_EQ(calls.size(), 6U);
    expectPurgesThenOneWrite(calls, 3, libraryState().defaultLink.portOverlapped);
    for (const auto& c : calls) EXPECT_EQ(c.port, kFakePort);
    EXPECT_EQ(bytesOf(fake().written()), (Bytes{0x11, 0x22, 0x33}));
    // The wait starts after the write: no tick is read before it.
    EXPECT_EQ(fake().record(0).call, FakeCall::Purge);
}

TEST_F(TimedWriteTest, EmptyQueueAtFirstQuerySucceedsInOnePass) {
    bind(100);
    const std::uint8_t byte = 0x7F;
    EXPECT_EQ(timedWrite(link::defaultLink(), &byte, 1), 1);
    EXPECT_EQ(fake().count(FakeCall::Query), 1U);
}

TEST_F(TimedWriteTest, QueueThatNeverDrainsTimesOutAfterTheBlockWentOut) {
    bind(20);
    fake().outStuck = true;
    const std::uint8_t block[] = {1, 2};
    EXPECT_EQ(timedWrite(link::defaultLink(), block, 2), -2);
    EXPECT_EQ(bytesOf(fake().written()), (Bytes{1, 2}));
    EXPECT_EQ(fake().count(FakeCall::Query), 20U);
}

class TimedReadTest : public FakeHostTest {};

TEST_F(TimedReadTest, ZeroCountReturnsAfterOnePassWithoutReading) {
    bind(100);
    EXPECT_EQ(timedRead(link::defaultLink(), nullptr, 0), 1);
    EXPECT_EQ(portCallKinds(fake()), std::vector<FakeCall>{FakeCall::Query});
}

TEST_F(TimedReadTest, FewerBytesThanAskedAreNeverReadAndTheWaitTimesOut) {
    bind(30);
    fake().feed({1, 2, 3});
    std::uint8_t dest[5] = {9, 9, 9, 9, 9};
    EXPECT_EQ(timedRead(link::defaultLink(), dest, 5), -2);
    EXPECT_EQ(fake().count(FakeCall::Read), 0U);
    EXPECT_EQ(fake().pendingInput(), 3U);
    EXPECT_EQ(Bytes(dest, dest + 5), (Bytes{9, 9, 9, 9, 9}));
}

TEST_F(TimedReadTest, WaitsForTheWholeBlockAndReadsItInOneCall) {
    bind(100);
    fake().arrivalPerQuery = 1;
    fake().feed({0xA1, 0xA2, 0xA3, 0xA4});
    std::uint8_t dest[4] = {};
    EXPECT_EQ(timedRead(link::defaultLink(), dest, 4), 1);
    EXPECT_EQ(Bytes(dest, dest + 4), (Bytes{0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_EQ(fake().count(FakeCall::Query), 4U);
    EXPECT_EQ(fake().count(FakeCall::Read), 1U);
    EXPECT_FALSE(fake().overRead);
    const auto calls = portCalls(fake());
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().call, FakeCall::Read);
    EXPECT_EQ(calls.back().arg, 4U);
    EXPECT_EQ(calls.back().overlapped, static_cast<const void*>(libraryState().defaultLink.portOverlapped));
}

TEST_F(TimedReadTest, SurplusBytesStayQueuedForTheNextRead) {
    bind(100);
    fake().feed({1, 2, 3, 4, 5, 6, 7});
    std::uint8_t first[4] = {};
    std::uint8_t second[3] = {};
    EXPECT_EQ(timedRead(link::defaultLink(), first, 4), 1);
    EXPECT_EQ(fake().pendingInput(), 3U);
    EXPECT_EQ(timedRead(link::defaultLink(), second, 3), 1);
    EXPECT_EQ(Bytes(first, first + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Bytes(second, second + 3), (Bytes{5, 6, 7}));
    EXPECT_FALSE(fake().overRead);
}

TEST_F(TimedReadTest, FailedReadClearsTheErrorOnceAndReturnsMinus3) {
    bind(100);
    fake().feed({1, 2});
    fake().failRead = true;
    std::uint8_t dest[2] = {};
    EXPECT_EQ(timedRead(link::defaultLink(), dest, 2), -3);
    EXPECT_EQ(portCallKinds(fake()), (std::vector<FakeCall>{FakeCall::Query, FakeCall::Read, FakeCall::ClearError}));
}

// A failed queue query shows no progress: the wait runs to its deadline.
TEST_F(TimedReadTest, FailedQueryEndsAtTheDeadline) {
    bind(10);
    fake().feed({1, 2});
    fake().failQuery = true;
    std::uint8_t dest[2] = {};
    EXPECT_EQ(timedRead(link::defaultLink(), dest, 2), -2);
    EXPECT_EQ(fake().count(FakeCall::Query), 10U);
    EXPECT_EQ(fake().count(FakeCall::Read), 0U);
    EXPECT_EQ(lastTick(fake()), 11U);
}

TEST_F(TimedWriteTest, FailedQueryEndsAtTheDeadline) {
    bind(10);
    fake().failQuery = true;
    const std::uint8_t byte = 1;
    EXPECT_EQ(timedWrite(link::defaultLink(), &byte, 1), -2);
    EXPECT_EQ(fake().count(FakeCall::Query), 10U);
}

// Time-out 0: the wait succeeds only while the tick has not moved on.
class ZeroTimeoutTest : public FakeHostTest {};

TEST_F(ZeroTimeoutTest, SucceedsWhileTheTickStandsStill) {
    bind(0);
    fake().tickStep = 0;
    fake().outDrainQueries = 3;
    const std::uint8_t byte = 1;
    EXPECT_EQ(timedWrite(link::defaultLink(), &byte, 1), 1);
    EXPECT_EQ(fake().count(FakeCall::Query), 4U);
}

TEST_F(ZeroTimeoutTest, EndsWhenTheTickMovesOn) {
    bind(0);
    fake().scriptTicks({100, 100, 100, 101});
    fake().outDrainQueries = 5;
    const std::uint8_t byte = 1;
    EXPECT_EQ(timedWrite(link::defaultLink(), &byte, 1), -2);
    EXPECT_EQ(fake().count(FakeCall::Query), 2U);
}

TEST_F(ZeroTimeoutTest, DeadlineIsCheckedBeforeTheFirstQuery) {
    bind(0);
    fake().scriptTicks({100, 101});
    std::uint8_t dest[1] = {};
    fake().feed({5});
    EXPECT_EQ(timedRead(link::defaultLink(), dest, 1), -2);
    EXPECT_EQ(fake().count(FakeCall::Query), 0U);
}

// Waits measured as (now - start) mod 2^32 across the counter's wrap.
struct WrapCase {
    const char* name;
    std::uint32_t start;
    std::uint32_t timeoutMs;
    std::uint32_t tickStep;
    std::uint32_t successAtQuery;  // 0: never
    std::int32_t result;
    std::uint32_t queries;
};

const WrapCase kWrapCases[] = {
    {"NoWrap", 1000, 100, 1, 0, -2, 100},
    // Starts within the time-out of the wrap: no early time-out.
    {"StartsJustBeforeWrap", 0xFFFFFFF0U, 100, 1, 0, -2, 100},
    {"StartsOneTimeoutBeforeWrap", 0xFFFFFFFFU - 100U, 100, 1, 0, -2, 100},
    {"StartsAtLastTick", 0xFFFFFFFFU, 100, 1, 0, -2, 100},
    {"SucceedsAcrossWrap", 0xFFFFFFF0U, 100, 1, 50, 1, 50},
    {"SucceedsAtLastAllowedTick", 0xFFFFFFC0U, 100, 1, 100, 1, 100},
    // 0xFFFFFFFF: no elapsed value exceeds it, the wait ends only on success.
    {"EndlessTimeoutAcrossManyWraps", 0xFFFFFFF0U, 0xFFFFFFFFU, 0x10000000U, 300, 1, 300},
    {"ElapsedJumpPastTimeout", 5, 100, 101, 1, -2, 0},
};

class WrapTest : public FakeHostTest, public ::testing::WithParamInterface<WrapCase> {
protected:
    void SetUp() override {
        const WrapCase& c = GetParam();
        bind(c.timeoutMs);
        fake().setTick(c.start);
        fake().tickStep = c.tickStep;
    }
};

TEST_P(WrapTest, TimedWrite) {
    const WrapCase& c = GetParam();
    if (c.successAtQuery == 0) {
        fake().outStuck = true;
    } else {
        fake().outDrainQueries = c.successAtQuery - 1;
    }
    const std::uint8_t byte = 1;
    EXPECT_EQ(timedWrite(link::defaultLink(), &byte, 1), c.result);
    EXPECT_EQ(fake().count(FakeCall::Query), c.queries);
    if (c.result == -2) {
        // The wait ends at the first reading past start + timeout.
        EXPECT_EQ(lastTick(fake()), c.start + (c.timeoutMs / c.tickStep + 1) * c.tickStep);
    }
}

TEST_P(WrapTest, TimedRead) {
    const WrapCase& c = GetParam();
    fake().arrivalPerQuery = 1;
    std::vector<std::uint8_t> bytes(c.successAtQuery == 0 ? 400 : c.successAtQuery, 0x5A);
    if (c.successAtQuery != 0) fake().feed(bytes.data(), bytes.size());
    std::vector<std::uint8_t> dest(bytes.size(), 0);
    EXPECT_EQ(timedRead(link::defaultLink(), dest.data(), static_cast<std::uint16_t>(dest.size())), c.result);
    EXPECT_EQ(fake().count(FakeCall::Query), c.queries);
    EXPECT_EQ(fake().count(FakeCall::Read), c.result == 1 ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(Ticks, WrapTest, ::testing::ValuesIn(kWrapCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

class BindingTest : public FakeHostTest {};

TEST_F(BindingTest, IgnoresArgumentOneAndTheLatestCallWins) {
    void* const first = reinterpret_cast<void*>(std::intptr_t{0x111});
    void* const second = reinterpret_cast<void*>(std::intptr_t{0x222});
    for (const std::uint32_t unused : {0U, 1U, 0xDEADBEEFU, 0xFFFFFFFFU}) {
        EXPECT_EQ(Init_Msg_Bin(unused, first, 40), 1);
        EXPECT_EQ(libraryState().defaultLink.portHandle, first);
        EXPECT_EQ(libraryState().defaultLink.timeoutMs, 40U);
    }
    EXPECT_EQ(Init_Msg_Bin(0x12345678U, second, 7), 1);
    EXPECT_EQ(libraryState().defaultLink.portHandle, second);
    EXPECT_EQ(libraryState().defaultLink.timeoutMs, 7U);

    fake().outStuck = true;
    const std::uint8_t byte = 1;
    EXPECT_EQ(timedWrite(link::defaultLink(), &byte, 1), -2);
    EXPECT_EQ(fake().count(FakeCall::Query), 7U);
    for (const auto& c : portCalls(fake())) EXPECT_EQ(c.port, second);
}

class AckTest : public FakeHostTest {};

TEST_F(AckTest, SendsTheLowByteWithoutPurgeOrOverlappedAndWaitsForTheQueue) {
    bind(100);
    fake().outDrainQueries = 2;
    EXPECT_EQ(Invia_Ack(0x1234), 1);
    const auto calls = portCalls(fake());
    ASSERT_EQ(calls.size(), 4U);
    EXPECT_EQ(calls[0].call, FakeCall::Write);
    EXPECT_EQ(calls[0].arg, 1U);
    EXPECT_EQ(calls[0].overlapped, nullptr);
    EXPECT_EQ(calls[0].port, kFakePort);
    for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].call, FakeCall::Query);
    EXPECT_EQ(bytesOf(fake().written()), Bytes{0x34});
}

TEST_F(AckTest, TakesOnlyTheLowEightBits) {
    bind(100);
    for (const std::uint32_t value : {0x00U, 0xABU, 0xFFFFFF00U, 0x800000FFU}) EXPECT_EQ(Invia_Ack(value), 1);
    EXPECT_EQ(bytesOf(fake().written()), (Bytes{0x00, 0xAB, 0x00, 0xFF}));
}

TEST_F(AckTest, ReturnsOneWhenTheQueueNeverDrains) {
    bind(25);
    fake().outStuck = true;
    EXPECT_EQ(Invia_Ack(0x06), 1);
    EXPECT_EQ(fake().count(FakeCall::Query), 25U);
}

// The acknowledge has left before the next command's transmit purge.
TEST_F(AckTest, QueueWaitComesBeforeTheNextCommandsPurge) {
    bind(100);
    fake().outDrainQueries = 1;
    EXPECT_EQ(Invia_Ack(0x06), 1);
    EXPECT_EQ(MuxSendComm(0, 5, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr), 1);
    const auto kinds = portCallKinds(fake());
    const std::vector<FakeCall> expected = {FakeCall::Write, FakeCall::Query, FakeCall::Query, FakeCall::Purge,
                                            FakeCall::Purge, FakeCall::Write, FakeCall::Query, FakeCall::Query};
    EXPECT_EQ(kinds, expected);
    EXPECT_EQ(bytesOf(fake().written()), (Bytes{0x06, 0x05, 0x05, 0x07, 0x02, 0x39}));
}

}  // namespace
}  // namespace kavrol::test
