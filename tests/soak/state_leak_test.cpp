// No failure leaves state behind: after each way a transaction can fail,
// the library's static state is what binding made it, and the next
// transaction gives exactly what it gives on a fresh library.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "link/link_state.h"
#include "support/caller_objects.h"
#include "support/fake_fixture.h"
#include "support/frames.h"

namespace {

using kavrol::host::FakeHost;
using kavrol::test::Bytes;

constexpr std::uint32_t kModel = 23;
constexpr std::uint8_t kRaw45[45] = {};

// The transaction that must work after every failure: a word command and a
// reply-code-6 frame of model 23 (normalized and parsed into the record).
Bytes goodReply() {
    Bytes payload(24);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(0x30 + i);
    return kavrol::test::replyFrame(6, 0, payload);
}

std::int32_t SendWords() { return MuxSendComm(0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0x1234, 0x56, 0, 0, 0, nullptr); }

struct FailureCase {
    const char* name;
    void (*prepare)(FakeHost&);  // arranges the failure
    std::int32_t (*fail)(kavrol::test::CallerObjects&);
    std::int32_t expected;
};

// Names the case in test output instead of dumping its bytes.
[[maybe_unused]] void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

std::int32_t Receive(kavrol::test::CallerObjects& o) { return o.receive(kModel); }
void feed(FakeHost& f, const Bytes& b) { f.feed(b.data(), b.size()); }

const FailureCase kCases[] = {
    {"NothingArrives", [](FakeHost&) {}, Receive, -2},
    {"OneHeaderByte", [](FakeHost& f) { feed(f, {0x3E}); }, Receive, -2},
    {"TruncatedFrame",
     [](FakeHost& f) {
         Bytes g = goodReply();
         g.resize(12);
         feed(f, g);
     },
     Receive, -2},
    {"LengthAbove250",
     [](FakeHost& f) {
         feed(f, Bytes{0x3E, 251, 1, 0});
     },
     Receive, -3},
    {"LengthBelow5",
     [](FakeHost& f) {
         feed(f, Bytes{0x3E, 4, 1, 0, 0});
     },
     Receive, -3},
    {"BadChecksum", [](FakeHost& f) { feed(f, kavrol::test::withBadChecksum(goodReply())); }, Receive, -3},
    {"DeviceError247", [](FakeHost& f) { feed(f, kavrol::test::replyFrame(247, 0, {})); }, Receive, -12},
    {"DeviceError255", [](FakeHost& f) { feed(f, kavrol::test::replyFrame(255, 0, Bytes(30, 1))); }, Receive, -4},
    {"ReadCallFails",
     [](FakeHost& f) {
         f.failRead = true;
         feed(f, goodReply());
     },
     Receive, -3},
    {"QueueQueryFails",
     [](FakeHost& f) {
         f.failQuery = true;
         feed(f, goodReply());
     },
     Receive, -2},
    {"LeftoverBytesQueued",
     [](FakeHost& f) {
         Bytes g = goodReply();
         g.insert(g.end(), {0x3E, 9, 9});
         feed(f, g);
     },
     Receive, 1},
    {"SendTimesOut", [](FakeHost& f) { f.outStuck = true; }, [](kavrol::test::CallerObjects&) { return SendWords(); },
     -2},
    {"SendRejected", [](FakeHost&) {},
     [](kavrol::test::CallerObjects&) {
         return MuxSendComm(0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 45, 0, 0, 0, 0, 0, kRaw45);
     },
     -1},
};

class StateLeak : public kavrol::test::FakeHostTest, public ::testing::WithParamInterface<FailureCase> {
protected:
    // One good transaction on the fake line: the objects it leaves.
    std::int32_t GoodTransaction(kavrol::test::CallerObjects& o) {
        const Bytes reply = goodReply();
        fake().replyOnWrite(reply.data(), reply.size());
        o.fill(0xC4, 0x4C);
        const std::int32_t sent = SendWords();
        return sent == 1 ? o.receive(kModel) : sent;
    }
};

void expectBoundState(std::uint32_t timeoutMs) {
    const kavrol::link::LibraryState& state = kavrol::link::libraryState();
    const kavrol::link::LinkState& s = state.defaultLink;
    EXPECT_EQ(s.portHandle, kavrol::test::kFakePort);
    EXPECT_EQ(s.timeoutMs, timeoutMs);
    EXPECT_TRUE(kavrol::test::allEqual(s.portOverlapped, 0)) << "the overlapped record was written";
    EXPECT_EQ(state.fileHandle, kavrol::host::kFileError);
}

TEST_P(StateLeak, NextTransactionIsAsOnAFreshLibrary) {
    constexpr std::uint32_t kTimeout = 20;
    kavrol::test::CallerObjects fresh;
    bind(kTimeout);
    ASSERT_EQ(GoodTransaction(fresh), 1);

    // Start over, fail once, then run the same good transaction.
    kavrol::link::libraryState() = kavrol::link::LibraryState{};
    bind(kTimeout);
    fake().purge(kavrol::test::kFakePort, kavrol::host::kPurgeReceive | kavrol::host::kPurgeTransmit);
    GetParam().prepare(fake());
    kavrol::test::CallerObjects failed;
    failed.fill(0xC4, 0x4C);
    EXPECT_EQ(GetParam().fail(failed), GetParam().expected);
    expectBoundState(kTimeout);

    fake().failRead = fake().failQuery = fake().outStuck = false;
    kavrol::test::CallerObjects after;
    ASSERT_EQ(GoodTransaction(after), 1);
    EXPECT_EQ(after.buffer, fresh.buffer);
    EXPECT_EQ(after.record, fresh.record);
    expectBoundState(kTimeout);
}

INSTANTIATE_TEST_SUITE_P(EveryFailure, StateLeak, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FailureCase>& i) { return std::string(i.param.name); });

}  // namespace
