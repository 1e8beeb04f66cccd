// Through the fake host: an unbound or null port is never called, "no file"
// is never a real handle, a closed file is forgotten, and an open one is
// closed before its handle is replaced.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "link/link_state.h"
#include "support/fake_calls.h"
#include "support/fake_fixture.h"

namespace {

using kavrol::link::libraryState;
using kavrol::test::FakeCall;
using kavrol::test::portCallKinds;
using kavrol::test::portCalls;

// The link state as the process found it, taken before any test runs.
struct LoadState {
    void* portHandle;
    std::uint32_t timeoutMs;
    std::int32_t fileHandle;
    bool overlappedZero;
};

LoadState takeLoadState() {
    const auto& state = libraryState();
    const auto& s = state.defaultLink;
    bool zero = true;
    for (const unsigned char b : s.portOverlapped) zero = zero && b == 0;
    return {s.portHandle, s.timeoutMs, state.fileHandle, zero};
}

const LoadState kAtLoad = takeLoadState();

TEST(LinkStateAtLoad, IsUnboundWithNoFile) {
    EXPECT_EQ(kAtLoad.portHandle, nullptr);
    EXPECT_EQ(kAtLoad.timeoutMs, 0U);
    EXPECT_EQ(kAtLoad.fileHandle, -1);
    EXPECT_TRUE(kAtLoad.overlappedZero);
}

struct UnboundCase {
    const char* name;
    bool bindThenNull;
    std::uint32_t timeoutMs;
    std::size_t ticksPerWait;  // start, then one per pass up to the time-out
};

const UnboundCase kUnboundCases[] = {
    {"NeverBound", false, 0, 2},
    {"BoundToNull", true, 5, 7},
};

class UnboundPortTest : public kavrol::test::FakeHostTest, public ::testing::WithParamInterface<UnboundCase> {
protected:
    void SetUp() override {
        if (GetParam().bindThenNull) {
            Init_Msg_Bin(0, kavrol::test::kFakePort, 1000);
            Init_Msg_Bin(0, nullptr, GetParam().timeoutMs);
        }
        fake().feed({0x3E, 0x06});
    }
};

TEST_P(UnboundPortTest, CommandMakesNoPortCallAndTimesOutAtItsDeadline) {
    EXPECT_EQ(MuxSendComm(0, 5, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr), -2);
    EXPECT_TRUE(portCalls(fake()).empty());
    EXPECT_EQ(fake().count(FakeCall::Tick), GetParam().ticksPerWait);
    EXPECT_TRUE(fake().written().empty());
}

TEST_P(UnboundPortTest, ReceiveMakesNoPortCallAndTimesOutAtItsDeadline) {
    std::uint8_t buffer[KAVROL_REPLY_BUFFER_SIZE] = {};
    ReplyRecord record{};
    EXPECT_EQ(MuxReceiveComm(0, buffer, &record), -2);
    EXPECT_TRUE(portCalls(fake()).empty());
    EXPECT_EQ(fake().count(FakeCall::Tick), GetParam().ticksPerWait);
    EXPECT_EQ(fake().pendingInput(), 2U);
}

TEST_P(UnboundPortTest, AcknowledgeSendsNothingAndReturnsOne) {
    EXPECT_EQ(Invia_Ack(0x06), 1);
    EXPECT_EQ(fake().recordCount(), 0U);
}

INSTANTIATE_TEST_SUITE_P(Port, UnboundPortTest, ::testing::ValuesIn(kUnboundCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

class FileHandleTest : public kavrol::test::FakeHostTest {
protected:
    std::vector<std::uint8_t> block_ = std::vector<std::uint8_t>(16, 0x42);
};

TEST_F(FileHandleTest, BeforeAnyOpenNoFileCallIsMade) {
    EXPECT_EQ(SaveBuffer(block_.data(), 16), 0);
    EXPECT_EQ(LoadBuffer(block_.data(), 16), 0);
    EXPECT_EQ(ChiudiFile(), 1);
    EXPECT_EQ(fake().recordCount(), 0U);
    EXPECT_EQ(block_, std::vector<std::uint8_t>(16, 0x42));
}

TEST_F(FileHandleTest, CloseForgetsTheHandle) {
    ASSERT_EQ(CreaFile("a.bin", 0), 1);
    const std::int32_t opened = libraryState().fileHandle;
    ASSERT_NE(opened, -1);
    EXPECT_EQ(ChiudiFile(), 1);
    EXPECT_EQ(libraryState().fileHandle, -1);
    EXPECT_EQ(ChiudiFile(), 1);
    EXPECT_EQ(SaveBuffer(block_.data(), 16), 0);
    EXPECT_EQ(LoadBuffer(block_.data(), 16), 0);

    const auto calls = portCalls(fake());
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(calls[0].call, FakeCall::FileCreate);
    EXPECT_EQ(calls[1].call, FakeCall::FileClose);
    EXPECT_EQ(calls[1].file, opened);
}

struct ReplaceCase {
    const char* name;
    bool secondIsCreate;
    bool secondSucceeds;
};

const ReplaceCase kReplaceCases[] = {
    {"CreateAfterCreate", true, true},
    {"OpenAfterCreate", false, true},
    {"FailedOpenAfterCreate", false, false},
    {"FailedCreateAfterCreate", true, false},
};

class ReplaceTest : public FileHandleTest, public ::testing::WithParamInterface<ReplaceCase> {};

TEST_P(ReplaceTest, StillOpenFileIsClosedBeforeTheHandleIsReplaced) {
    const ReplaceCase& c = GetParam();
    fake().addFile("b.bin", block_.data(), block_.size());
    ASSERT_EQ(CreaFile("a.bin", 0), 1);
    const std::int32_t first = libraryState().fileHandle;
    fake().failCreate = !c.secondSucceeds;
    const char* second = c.secondSucceeds ? "b.bin" : "missing.bin";
    EXPECT_EQ(c.secondIsCreate ? CreaFile(second, 0) : ApriFile(second), c.secondSucceeds ? 1 : 0);

    const auto calls = portCalls(fake());
    ASSERT_EQ(calls.size(), 3U);
    EXPECT_EQ(calls[1].call, FakeCall::FileClose);
    EXPECT_EQ(calls[1].file, first);
    EXPECT_EQ(calls[2].call, c.secondIsCreate ? FakeCall::FileCreate : FakeCall::FileOpen);
    EXPECT_EQ(libraryState().fileHandle, c.secondSucceeds ? calls[2].file : -1);
    EXPECT_EQ(fake().openFileCount(), c.secondSucceeds ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(Files, ReplaceTest, ::testing::ValuesIn(kReplaceCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(FileHandleTest, ManyCreatesKeepOneFileOpen) {
    for (int i = 0; i < 100; ++i) ASSERT_EQ(CreaFile("a.bin", 0), 1);
    EXPECT_EQ(fake().openFileCount(), 1U);
    EXPECT_EQ(fake().count(FakeCall::FileClose), 99U);
    EXPECT_EQ(ChiudiFile(), 1);
    EXPECT_EQ(fake().openFileCount(), 0U);
}

class AckWaitTest : public kavrol::test::FakeHostTest {};

// 0xFFFFFFFF: the acknowledge waits for its queue however far the tick runs.
TEST_F(AckWaitTest, EndlessTimeOutWaitsUntilTheQueueDrains) {
    bind(0xFFFFFFFFU);
    fake().setTick(0xFFFFFF00U);
    fake().tickStep = 0x01000000U;
    fake().outDrainQueries = 500;
    EXPECT_EQ(Invia_Ack(0x1234), 1);
    const auto kinds = portCallKinds(fake());
    ASSERT_EQ(kinds.size(), 502U);
    EXPECT_EQ(kinds.front(), FakeCall::Write);
    EXPECT_EQ(fake().count(FakeCall::Query), 501U);
}

}  // namespace

// A test's host must not outlive its guard: the guard puts back the host
// that was current before it, nested guards in reverse order, so that no
// later call reaches a fake that has gone.
TEST(ScopedHostGuard, PutsBackTheHostBeforeIt) {
    namespace host = kavrol::host;
    host::FakeHost outer;
    host::FakeHost inner;
    {
        const host::ScopedHost a(outer);
        EXPECT_EQ(&host::current(), &outer);
        {
            const host::ScopedHost b(inner);
            EXPECT_EQ(&host::current(), &inner);
        }
        EXPECT_EQ(&host::current(), &outer);
    }
    EXPECT_EQ(&host::current(), &host::platform());
}
