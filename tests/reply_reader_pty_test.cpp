// The reply reader over a real pty on the POSIX host: the test plays the
// device on the peer side and checks what the port side still has queued.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include <sys/ioctl.h>
#include <termios.h>

#include "link/link_state.h"
#include "support/alloc_counter.h"
#include "support/caller_objects.h"
#include "support/frames.h"
#include "support/pty_peer.h"

namespace kavrol::test {
namespace {

using pty::PtyPair;

constexpr std::uint32_t kGenerousMs = 2000;
constexpr std::uint32_t kExpectedTimeoutMs = 50;

class ReplyReaderPty : public ::testing::Test {
protected:
    ReplyReaderPty() { Init_Msg_Bin(0, portHandle(pair_), kGenerousMs); }
    ~ReplyReaderPty() override { link::libraryState() = link::LibraryState{}; }

    // Sends bytes from the device side and waits until the port has them all.
    void arrive(const Bytes& bytes) {
        const std::size_t before = queued();
        peerWrite(pair_, bytes);
        ASSERT_TRUE(waitPortInput(pair_, before + bytes.size()));
    }

    std::size_t queued() const {
        int n = 0;
        EXPECT_EQ(::ioctl(pair_.port(), FIONREAD, &n), 0);
        return static_cast<std::size_t>(n);
    }

    CallerObjects objects() {
        CallerObjects o;
        o.fill(0xB4, 0x4B);
        return o;
    }

    PtyPair pair_;
};

TEST_F(ReplyReaderPty, ValidFramesAreReadWhole) {
    for (unsigned last : {5U, 8U, 250U}) {
        SCOPED_TRACE("L = " + std::to_string(last));
        const Bytes frame =
            replyFrame(9, 0, payloadFrom(last, [](unsigned j) { return static_cast<std::uint8_t>(j); }));
        arrive(frame);
        CallerObjects o = objects();
        ASSERT_EQ(o.receive(0), 1);  // model 0, code 9: the payload, then a zero
        EXPECT_EQ(queued(), 0U);
        for (unsigned j = 6; j <= last; ++j) ASSERT_EQ(o.buffer[j - 6], j);
        EXPECT_EQ(o.buffer[last - 5], 0);
        EXPECT_EQ(o.buffer[last - 4], 0xB4);
        EXPECT_TRUE(allEqual(o.record, 0x4B));
    }
}

// A length byte outside 5..250 ends the call after the header: the rest of
// the frame is not read.
TEST_F(ReplyReaderPty, BadLengthReturnsMinus3AfterTheHeader) {
    for (unsigned last : {251U, 0U, 1U, 2U, 3U, 4U}) {
        SCOPED_TRACE("L = " + std::to_string(last));
        Bytes input = frameWithLength(last, 1, 0x5D);
        input.resize(input.size() + 6, 0x5D);  // more bytes behind it
        arrive(input);
        CallerObjects o = objects();
        EXPECT_EQ(o.receive(2), -3);
        EXPECT_EQ(queued(), input.size() - 2);
        EXPECT_TRUE(allEqual(o.buffer, 0xB4));
        EXPECT_TRUE(allEqual(o.record, 0x4B));
        ::tcflush(pair_.port(), TCIFLUSH);
    }
}

TEST_F(ReplyReaderPty, TruncatedFrameTimesOutAndLeavesItsBytesQueued) {
    Init_Msg_Bin(0, portHandle(pair_), kExpectedTimeoutMs);
    Bytes frame = frameWithLength(20, 1, 0x21);
    frame.resize(12);
    arrive(frame);
    CallerObjects o = objects();
    EXPECT_EQ(o.receive(2), -2);
    EXPECT_EQ(queued(), 10U);
    EXPECT_TRUE(allEqual(o.buffer, 0xB4));
    EXPECT_TRUE(allEqual(o.record, 0x4B));
}

TEST_F(ReplyReaderPty, ChecksumComesBeforeDeviceErrors) {
    struct Row {
        std::uint8_t code;
        bool badChecksum;
        std::int32_t result;
    };
    const Row table[] = {
        {247, false, -12}, {255, false, -4}, {247, true, -3}, {251, true, -3}, {255, true, -3}, {1, true, -3},
    };
    for (const Row& row : table) {
        SCOPED_TRACE("code " + std::to_string(row.code) + (row.badChecksum ? ", bad checksum" : ""));
        const Bytes good = frameWithLength(12, row.code, 0x3C);
        arrive(row.badChecksum ? withBadChecksum(good) : good);
        CallerObjects o = objects();
        EXPECT_EQ(o.receive(23), row.result);
        EXPECT_EQ(queued(), 0U) << "the frame is consumed";
        EXPECT_TRUE(allEqual(o.buffer, 0xB4));
        EXPECT_TRUE(allEqual(o.record, 0x4B));
    }
}

TEST_F(ReplyReaderPty, CodesWithoutLayoutReturnOneAndChangeNothing) {
    for (unsigned code : {0U, 10U, 64U, 127U, 128U, 200U, 246U}) {
        for (std::uint32_t model : {0U, 2U, 23U}) {
            arrive(frameWithLength(40, static_cast<std::uint8_t>(code), 0x7E));
            CallerObjects o = objects();
            EXPECT_EQ(o.receive(model), 1) << "code " << code << " model " << model;
            EXPECT_TRUE(allEqual(o.buffer, 0xB4)) << "code " << code << " model " << model;
            EXPECT_TRUE(allEqual(o.record, 0x4B)) << "code " << code << " model " << model;
        }
    }
    EXPECT_EQ(queued(), 0U);
}

TEST_F(ReplyReaderPty, BackToBackFramesAreReadOneAtATimeWithoutHeapAllocation) {
    const Bytes first = frameWithLength(30, 8, 0x11);
    const Bytes second = frameWithLength(6, 8, 0x22);
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    arrive(both);
    CallerObjects o = objects();
    AllocCounter::start();
    const std::int32_t r1 = o.receive(2);
    const std::size_t allocations = AllocCounter::stop();
    EXPECT_EQ(r1, 1);
    EXPECT_EQ(allocations, 0U);
    EXPECT_EQ(o.buffer[0], 0x11);
    EXPECT_EQ(queued(), second.size());
    EXPECT_EQ(o.receive(2), 1);
    EXPECT_EQ(o.buffer[0], 0x22);
    EXPECT_EQ(queued(), 0U);
}

}  // namespace
}  // namespace kavrol::test
