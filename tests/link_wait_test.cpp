// Waits that block in the host between two looks at the queues, on the fake
// host's scripted clock: deadlines, arrivals while blocked, partial data,
// the counter's wrap, lost ports and bounded transfers.
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
using host::PortWait;

using Bytes = std::vector<std::uint8_t>;

// The time-out that never passes, as the caller writes it.
constexpr std::uint32_t kEndless = 0xFFFFFFFFU;

class BlockingWaitTest : public FakeHostTest {
protected:
    BlockingWaitTest() {
        fake().waitsBlock = true;
        fake().tickStep = 0;  // time moves only while a wait blocks
    }
};

// Where each wait of a read ends when the bytes come at scripted times.
struct ArrivalCase {
    const char* name;
    std::uint32_t start;
    std::uint32_t timeoutMs;
    std::uint32_t firstAfter;   // ms until the first part arrives
    std::uint32_t secondAfter;  // ms until the rest arrives (0: never)
    std::int32_t result;
    std::uint32_t endTick;
    std::size_t maxWaits;
};

const ArrivalCase kArrivalCases[] = {
    // Silent device: the blocked wait runs into the deadline, no spinning.
    {"SilentDeviceEndsAtTheDeadline", 1000, 500, 10000, 0, -2, 1501, 2},
    {"DataWhileBlocked", 1000, 500, 120, 0, 1, 1120, 1},
    {"PartialThenRest", 1000, 500, 30, 80, 1, 1080, 4},
    {"PartialThenSilence", 1000, 500, 30, 10000, -2, 1501, 4},
    // Bytes that come at the last tick within the time-out are still seen.
    {"DataAtTheLastAllowedTick", 1000, 500, 500, 0, 1, 1500, 1},
    {"DataOneTickTooLate", 1000, 500, 501, 0, -2, 1501, 2},
    // The counter wraps while the wait is blocked.
    {"WrapWhileBlockedThenData", 0xFFFFFF00U, 1000, 600, 0, 1, 0xFFFFFF00U + 600U, 1},
    {"WrapWhileBlockedSilent", 0xFFFFFF00U, 1000, 5000, 0, -2, 0xFFFFFF00U + 1001U, 2},
};

class ArrivalTest : public BlockingWaitTest, public ::testing::WithParamInterface<ArrivalCase> {};

TEST_P(ArrivalTest, ReadOfFourBytes) {
    const ArrivalCase& c = GetParam();
    bind(c.timeoutMs);
    fake().setTick(c.start);
    if (c.secondAfter == 0) {
        fake().feedAfter(c.firstAfter, {1, 2, 3, 4});
    } else {
        fake().feedAfter(c.firstAfter, {1, 2});
        fake().feedAfter(c.secondAfter, {3, 4});
    }
    std::uint8_t dest[4] = {};
    EXPECT_EQ(timedRead(link::defaultLink(), dest, 4), c.result);
    EXPECT_EQ(lastTick(fake()), c.endTick);
    EXPECT_GE(fake().count(FakeCall::Wait), 1U);
    EXPECT_LE(fake().count(FakeCall::Wait), c.maxWaits);
    EXPECT_EQ(fake().count(FakeCall::Read), c.result == 1 ? 1U : 0U);
    if (c.result == 1) {
        EXPECT_EQ(Bytes(dest, dest + 4), (Bytes{1, 2, 3, 4}));
    }
    EXPECT_FALSE(libraryState().defaultLink.portLost);
}

INSTANTIATE_TEST_SUITE_P(Scripted, ArrivalTest, ::testing::ValuesIn(kArrivalCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(BlockingWaitTest, WaitsAskForTheRestOfAPartialBlockWithTheTimeLeft) {
    bind(200);
    fake().setTick(50);
    fake().feed({1, 2});
    std::uint8_t dest[5] = {};
    EXPECT_EQ(timedRead(link::defaultLink(), dest, 5), -2);
    const PortWait& w = fake().lastWait();
    EXPECT_EQ(w.kind, PortWait::Kind::Input);
    EXPECT_EQ(w.queued, 2U);
    EXPECT_EQ(w.wanted, 5U);
    // The first wait may sleep up to the last tick within the time-out.
    const auto& first = fake().record(3);
    ASSERT_EQ(first.call, FakeCall::Wait);
    EXPECT_EQ(first.arg, 200U);
}

TEST_F(BlockingWaitTest, OutputWaitReportsTheBytesStillQueued) {
    bind(40);
    fake().outStuck = true;
    const std::uint8_t block[] = {1, 2, 3};
    EXPECT_EQ(timedWrite(link::defaultLink(), block, 3), -2);
    EXPECT_EQ(fake().lastWait().kind, PortWait::Kind::OutputEmpty);
    EXPECT_EQ(fake().lastWait().queued, 3U);
    EXPECT_EQ(lastTick(fake()), 41U);
}

TEST_F(BlockingWaitTest, EndlessTimeoutWaitsInBoundedStepsUntilTheDataComes) {
    bind(kEndless);
    fake().feedAfter(3500, {7});
    std::uint8_t dest[1] = {};
    EXPECT_EQ(timedRead(link::defaultLink(), dest, 1), 1);
    EXPECT_EQ(dest[0], 7);
    EXPECT_EQ(lastTick(fake()), 3500U);
    EXPECT_EQ(fake().count(FakeCall::Wait), 4U);
}

TEST_F(BlockingWaitTest, UnboundPortSleepsToTheDeadlineWithoutPortCalls) {
    fake().setTick(10);
    Init_Msg_Bin(0, nullptr, 300);
    std::uint8_t dest[2] = {};
    EXPECT_EQ(timedRead(link::defaultLink(), dest, 2), -2);
    EXPECT_EQ(lastTick(fake()), 311U);
    EXPECT_EQ(portCalls(fake()).size(), 0U);
}

std::int32_t readFour() {
    std::uint8_t dest[4] = {};
    return timedRead(link::defaultLink(), dest, 4);
}
std::int32_t writeTwo() {
    const std::uint8_t block[] = {1, 2};
    return timedWrite(link::defaultLink(), block, 2);
}

// What the link tells each wait of a loop: the queue count it found, the
// bytes the read needs, the waits made so far and the looks in a row that
// found no change (the host lengthens its sleeps by them). The waits return
// at once and each tick reading moves the clock by 1 ms; arrivals come with
// the first look at or past their time.
struct WaitStep {
    std::uint32_t queued;
    std::uint32_t stalls;
};

class WaitRequestTest : public FakeHostTest {
protected:
    void expectWaits(PortWait::Kind kind, std::uint32_t wanted, std::initializer_list<WaitStep> steps) {
        ASSERT_EQ(fake().waitCount(), steps.size());
        std::uint32_t pass = 0;
        for (const WaitStep& step : steps) {
            SCOPED_TRACE(pass);
            const PortWait& w = fake().wait(pass);
            EXPECT_EQ(w.kind, kind);
            EXPECT_EQ(w.wanted, wanted);
            EXPECT_EQ(w.pass, pass);
            EXPECT_EQ(w.queued, step.queued);
            EXPECT_EQ(w.stalls, step.stalls);
            ++pass;
        }
    }
};

TEST_F(WaitRequestTest, ReadCountsPassesAndStallsAndRestartsStallsOnNewBytes) {
    bind(100);
    fake().feed({1, 2});
    fake().feedAfter(2, {3});
    fake().feedAfter(5, {4});
    EXPECT_EQ(readFour(), 1);
    expectWaits(PortWait::Kind::Input, 4, {{2, 0}, {3, 0}, {3, 1}, {3, 2}});
}

// Each look moves the clock by 1 ms: three looks fit in the time-out.
TEST_F(WaitRequestTest, SilentReadStallsFromItsSecondWait) {
    bind(3);
    EXPECT_EQ(readFour(), -2);
    expectWaits(PortWait::Kind::Input, 4, {{0, 0}, {0, 1}, {0, 2}});
}

// A count that cannot be read shows no progress: the host is told that
// nothing is queued.
TEST_F(WaitRequestTest, FailedQueryReportsNothingQueued) {
    bind(3);
    fake().feed({1, 2});
    fake().failQuery = true;
    EXPECT_EQ(readFour(), -2);
    expectWaits(PortWait::Kind::Input, 4, {{0, 0}, {0, 1}, {0, 2}});
}

TEST_F(WaitRequestTest, OutputWaitReportsTheQueueUntilItDrains) {
    bind(100);
    fake().outDrainQueries = 3;
    EXPECT_EQ(writeTwo(), 1);
    expectWaits(PortWait::Kind::OutputEmpty, 0, {{2, 0}, {2, 1}, {2, 2}});
}

// A lost port ends each operation at once with its deadline result.
struct LostCase {
    const char* name;
    bool lostAtRead;  // false: lost from the start
    std::int32_t (*run)();
    std::int32_t result;
};

const LostCase kLostCases[] = {
    {"WaitOfARead", false, readFour, -2},
    {"TheReadItself", true, readFour, -3},
    {"TheWrite", false, writeTwo, -2},
    {"ASendThroughTheExport", false,
     [] { return MuxSendComm(0, 5, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr); }, -2},
};

class LostPortTest : public BlockingWaitTest, public ::testing::WithParamInterface<LostCase> {};

TEST_P(LostPortTest, EndsAtOnceAndSaysSo) {
    const LostCase& c = GetParam();
    bind(5000);
    fake().setTick(100);
    if (c.lostAtRead) fake().feed({1, 2, 3, 4});
    fake().lostPort = true;
    EXPECT_EQ(c.run(), c.result);
    EXPECT_LT(lastTick(fake()), 200U);
    EXPECT_TRUE(libraryState().defaultLink.portLost);
    // The next operation on a port that works again clears the flag.
    fake().lostPort = false;
    fake().feed({1, 2, 3, 4});
    EXPECT_EQ(readFour(), 1);
    EXPECT_FALSE(libraryState().defaultLink.portLost);
}

INSTANTIATE_TEST_SUITE_P(Lost, LostPortTest, ::testing::ValuesIn(kLostCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(BlockingWaitTest, StalledWriteGivesMinus2WithoutWaitingASecondTimeout) {
    bind(80);
    fake().writeStalls = true;
    EXPECT_EQ(writeTwo(), -2);
    EXPECT_EQ(fake().lastWriteBudget(), 81U);
    EXPECT_EQ(fake().count(FakeCall::Query), 0U);
    EXPECT_FALSE(libraryState().defaultLink.portLost);
}

TEST_F(BlockingWaitTest, StalledAcknowledgeStillReturnsOne) {
    bind(80);
    fake().writeStalls = true;
    EXPECT_EQ(Invia_Ack(0x06), 1);
    EXPECT_EQ(fake().count(FakeCall::Query), 0U);
}

TEST_F(BlockingWaitTest, ReadWhoseBytesWereTakenFailsByTheDeadline) {
    bind(300);
    fake().setTick(1000);
    fake().feedAfter(100, {1, 2, 3, 4});
    fake().stealBeforeRead = true;
    EXPECT_EQ(readFour(), -3);
    // The read was given what was left of the time-out.
    EXPECT_EQ(fake().lastReadBudget(), 201U);
    EXPECT_EQ(fake().count(FakeCall::ClearError), 1U);
}

TEST_F(BlockingWaitTest, EndlessTimeoutGivesTransfersNoDeadline) {
    bind(kEndless);
    fake().feed({1, 2, 3, 4});
    EXPECT_EQ(readFour(), 1);
    EXPECT_EQ(fake().lastReadBudget(), kEndless);
    EXPECT_EQ(writeTwo(), 1);
    EXPECT_EQ(fake().lastWriteBudget(), kEndless);
}

}  // namespace
}  // namespace kavrol::test
