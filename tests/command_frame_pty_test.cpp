// Command frames and the acknowledge over a real pty pair: the library is
// bound to the port side, the test reads the line on the peer side.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"
#include "link/link_state.h"
#include "link/timed_io.h"
#include "support/command_examples.h"
#include "support/pty_peer.h"

namespace {

using kavrol::test::CommandExample;
using kavrol::test::muxSend;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kGenerousTimeoutMs = 3000;

class PtyTest : public ::testing::Test {
protected:
    PtyTest() {
        kavrol::host::install(nullptr);
        kavrol::link::libraryState() = kavrol::link::LibraryState{};
        Init_Msg_Bin(0, portHandle(pty_), kGenerousTimeoutMs);
    }
    ~PtyTest() override { kavrol::link::libraryState() = kavrol::link::LibraryState{}; }

    kavrol::pty::PtyPair pty_;
};

class PtyCommandExampleTest : public PtyTest, public ::testing::WithParamInterface<CommandExample> {};

TEST_P(PtyCommandExampleTest, PeerReceivesExactlyTheseBytes) {
    const CommandExample& example = GetParam();
    ASSERT_EQ(muxSend(example.args), 1);
    EXPECT_EQ(peerRead(pty_, example.sent.size()), example.sent);
    EXPECT_TRUE(peerDrain(pty_, 20).empty());
}

INSTANTIATE_TEST_SUITE_P(Examples, PtyCommandExampleTest, ::testing::ValuesIn(kavrol::test::commandExamples()),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(PtyTest, OversizedCommandPutsNothingOnTheLineAndKeepsTheInput) {
    peerWrite(pty_, {0x01, 0x02});
    ASSERT_TRUE(waitPortInput(pty_, 2));
    const Bytes payload(45, 0x33);
    kavrol::test::SendArgs a;
    a.command = 8;
    a.itemCount = 45;
    a.rawData = payload.data();
    EXPECT_EQ(muxSend(a), -1);
    EXPECT_TRUE(peerDrain(pty_, 50).empty());
    std::uint8_t kept[2] = {};
    ASSERT_EQ(kavrol::link::timedRead(kavrol::link::defaultLink(), kept, 2), 1);
    EXPECT_EQ(Bytes(kept, kept + 2), (Bytes{0x01, 0x02}));
}

TEST_F(PtyTest, CommandDiscardsUnreadInputAndTheReplyIsReadAfterIt) {
    peerWrite(pty_, {0xEE, 0xEE, 0xEE});
    ASSERT_TRUE(waitPortInput(pty_, 3));
    const CommandExample& example = kavrol::test::commandExamples().front();
    ASSERT_EQ(muxSend(example.args), 1);
    EXPECT_EQ(peerRead(pty_, example.sent.size()), example.sent);

    peerWrite(pty_, {0x3E, 0x06, 0x01, 0x02, 0x03});
    std::uint8_t head[2] = {};
    std::uint8_t rest[3] = {};
    ASSERT_EQ(kavrol::link::timedRead(kavrol::link::defaultLink(), head, 2), 1);
    ASSERT_EQ(kavrol::link::timedRead(kavrol::link::defaultLink(), rest, 3), 1);
    EXPECT_EQ(Bytes(head, head + 2), (Bytes{0x3E, 0x06}));
    EXPECT_EQ(Bytes(rest, rest + 3), (Bytes{0x01, 0x02, 0x03}));
}

TEST_F(PtyTest, ReadOfMoreThanArrivedTimesOutAndReadsNothing) {
    Init_Msg_Bin(0, portHandle(pty_), 50);
    peerWrite(pty_, {0x10, 0x20});
    ASSERT_TRUE(waitPortInput(pty_, 2));
    std::uint8_t dest[3] = {0xAA, 0xAA, 0xAA};
    EXPECT_EQ(kavrol::link::timedRead(kavrol::link::defaultLink(), dest, 3), -2);
    EXPECT_EQ(Bytes(dest, dest + 3), (Bytes{0xAA, 0xAA, 0xAA}));
    EXPECT_TRUE(waitPortInput(pty_, 2, 100));
}

TEST_F(PtyTest, AcknowledgeSendsTheLowByteOnly) {
    EXPECT_EQ(Invia_Ack(0x1234), 1);
    EXPECT_EQ(peerRead(pty_, 1), Bytes{0x34});
    EXPECT_TRUE(peerDrain(pty_, 20).empty());
}

// Whatever errno the application left behind, the one-byte write of the
// acknowledge goes out once.
TEST_F(PtyTest, AcknowledgeGoesOutOnceWhateverErrnoHeld) {
    for (const int stale : {0, EAGAIN, EINTR, EIO}) {
        SCOPED_TRACE(stale);
        errno = stale;
        EXPECT_EQ(Invia_Ack(0x06), 1);
        EXPECT_EQ(peerRead(pty_, 1), Bytes{0x06});
        EXPECT_TRUE(peerDrain(pty_, 20).empty());
    }
}

}  // namespace
