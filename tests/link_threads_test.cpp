// Links on real ptys, one thread per line: no crosstalk between lines, and
// one line's time-out does not hold up another.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "kavrol32/link.h"
#include "reply/reply_reader.h"
#include "support/caller_objects.h"
#include "support/frames.h"
#include "support/pty_peer.h"

namespace kavrol::test {
namespace {

using Clock = std::chrono::steady_clock;
using pty::PtyPair;

constexpr std::uint32_t kGenerousMs = 4000;
constexpr int kPeerWaitMs = 8000;
constexpr std::uint8_t kQueryCommand = 3;
constexpr unsigned kAckEvery = 16;
// A line that has gone out of step gives up after this many mismatches.
constexpr int kGiveUpAfter = 20;

// The command of transaction `index` on line `line`: two words naming both,
// so that the device sees at once whether a frame belongs to it.
KavrolCommand queryFor(unsigned line, unsigned index) {
    KavrolCommand c{};
    c.command = kQueryCommand;
    c.subCommand = static_cast<std::uint8_t>(line);
    c.itemCount = 2;
    c.words[0] = static_cast<std::uint16_t>(index);
    c.words[1] = static_cast<std::uint16_t>(0xA000 + line);
    return c;
}

// The reply of one transaction: reply codes with and without layouts and
// device errors in turn, lengths and contents that differ per line and per
// transaction.
Bytes replyFor(unsigned line, unsigned index) {
    static constexpr std::uint8_t kCodes[] = {1, 2, 3, 5, 6, 8, 9, 3, 1, 0, 247, 251, 255};
    const std::uint8_t code = kCodes[(index + line) % std::size(kCodes)];
    Bytes payload((index * 7 + line * 13) % 246);
    for (std::size_t k = 0; k < payload.size(); ++k)
        payload[k] = static_cast<std::uint8_t>(k * 31 + index * 3 + line * 17);
    return replyFrame(code, static_cast<std::uint8_t>(index), payload);
}

std::int32_t expectedResult(const Bytes& frame) { return frame[2] >= 247 ? frame[2] - 259 : 1; }

// One serial line: the pty pair, the application's link, and what each
// side found wrong.
struct Line {
    PtyPair pair;
    KavrolLink link{};
    // Acknowledge bytes the device has read. On a pty the port's output
    // queue reads empty before the peer has read a byte, and the transmit
    // purge of the next command would discard it; so the application waits
    // for the device to take each acknowledge before its next command.
    std::atomic<unsigned> acksTaken{0};
    int deviceMismatches = 0;
    int clientMismatches = 0;
};

// The device of one line: answers each query of its own line, checks the
// acknowledge bytes, and counts every frame that is not what it should be.
void runDevice(Line& l, unsigned line, unsigned transactions) {
    int& mismatches = l.deviceMismatches;
    for (unsigned i = 0; i < transactions && mismatches < kGiveUpAfter; ++i) {
        const Bytes query = peerRead(l.pair, 9, kPeerWaitMs);
        if (query.size() != 9) {
            ++mismatches;
            return;
        }
        const bool ours = query[0] == 0x09 && query[1] == kQueryCommand && query[2] == line &&
                          static_cast<unsigned>(query[5] | query[6] << 8) == (i & 0xFFFFU) && query[7] == line &&
                          query[8] == 0xA0;
        if (!ours) ++mismatches;
        peerWrite(l.pair, replyFor(line, i));
        if (i % kAckEvery == 0) {
            const Bytes ack = peerRead(l.pair, 1, kPeerWaitMs);
            if (ack.size() != 1 || ack[0] != (i & 0xFF)) ++mismatches;
            l.acksTaken.fetch_add(1, std::memory_order_release);
        }
    }
}

// Waits, bounded, until the device has read `count` acknowledge bytes.
bool awaitAcks(const Line& l, unsigned count) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kPeerWaitMs);
    while (l.acksTaken.load(std::memory_order_acquire) < count) {
        if (Clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// The application side of one line: each result, buffer, record and kept
// frame must be what a decode of that line's own reply gives.
void runClient(Line& l, unsigned line, std::uint32_t model, unsigned transactions) {
    int& mismatches = l.clientMismatches;
    CallerObjects got;
    CallerObjects want;
    std::array<std::uint8_t, KAVROL_MAX_REPLY_FRAME> kept{};
    unsigned acks = 0;
    for (unsigned i = 0; i < transactions && mismatches < kGiveUpAfter; ++i) {
        const KavrolCommand query = queryFor(line, i);
        if (kavrol_link_send(&l.link, &query) != 1) {
            ++mismatches;
            continue;
        }
        const Bytes frame = replyFor(line, i);
        const auto seed = static_cast<std::uint8_t>(i);
        got.fill(seed, static_cast<std::uint8_t>(~seed));
        want.fill(seed, static_cast<std::uint8_t>(~seed));
        Bytes area = receiveArea(frame);
        const std::int32_t decoded = reply::decodeReply(model, area.data(), want.buffer.data(), want.record.data());
        const std::int32_t result =
            kavrol_link_receive(&l.link, model, got.buffer.data(), reinterpret_cast<ReplyRecord*>(got.record.data()));
        const auto keptCount = static_cast<std::size_t>(kavrol_link_last_received(&l.link, kept.data(), kept.size()));
        const bool same = result == expectedResult(frame) && decoded == result && got.buffer == want.buffer &&
                          got.record == want.record && keptCount == frame.size() &&
                          std::equal(frame.begin(), frame.end(), kept.begin());
        if (!same) ++mismatches;
        if (i % kAckEvery == 0) {
            if (kavrol_link_ack(&l.link, i) != 1 || !awaitAcks(l, ++acks)) ++mismatches;
        }
    }
}

TEST(LinkThreads, FourLinesInParallelKeepTheirFramesApart) {
    constexpr unsigned kLines = 4;
    constexpr unsigned kTransactions = 5000;
    constexpr std::uint32_t kModels[kLines] = {0, 6, 18, 24};
    std::array<Line, kLines> lines;
    std::vector<std::thread> threads;
    for (unsigned n = 0; n < kLines; ++n) {
        ASSERT_EQ(kavrol_link_init(&lines[n].link, portHandle(lines[n].pair), kGenerousMs), 1);
        threads.emplace_back(runDevice, std::ref(lines[n]), n, kTransactions);
        threads.emplace_back(runClient, std::ref(lines[n]), n, kModels[n], kTransactions);
    }
    for (std::thread& t : threads) t.join();
    for (unsigned n = 0; n < kLines; ++n) {
        EXPECT_EQ(lines[n].clientMismatches, 0) << "line " << n << " (model " << kModels[n] << ")";
        EXPECT_EQ(lines[n].deviceMismatches, 0) << "line " << n;
        EXPECT_EQ(kavrol_link_port_lost(&lines[n].link), 0);
    }
}

// A receive on a silent line waits out its own time-out only: the other
// line runs its transactions and its own, shorter time-out meanwhile.
TEST(LinkThreads, EachLineTimesOutOnItsOwnClock) {
    constexpr std::uint32_t kSlowMs = 3000;
    constexpr std::uint32_t kFastMs = 100;
    constexpr unsigned kTransactions = 20;
    Line slowLine;
    Line fastLine;
    KavrolLink& slow = slowLine.link;
    KavrolLink& fast = fastLine.link;
    ASSERT_EQ(kavrol_link_init(&slow, portHandle(slowLine.pair), kSlowMs), 1);
    ASSERT_EQ(kavrol_link_init(&fast, portHandle(fastLine.pair), kFastMs), 1);

    std::atomic<bool> slowDone{false};
    std::int32_t slowResult = 0;
    Clock::duration slowTook{};
    std::thread slowThread([&] {
        CallerObjects o;
        const auto start = Clock::now();
        slowResult = kavrol_link_receive(&slow, 0, o.buffer.data(), reinterpret_cast<ReplyRecord*>(o.record.data()));
        slowTook = Clock::now() - start;
        slowDone = true;
    });

    std::thread device(runDevice, std::ref(fastLine), 0U, kTransactions);
    runClient(fastLine, 0, 2, kTransactions);
    device.join();
    CallerObjects o;
    const auto start = Clock::now();
    const std::int32_t fastResult =
        kavrol_link_receive(&fast, 2, o.buffer.data(), reinterpret_cast<ReplyRecord*>(o.record.data()));
    const auto fastTook = Clock::now() - start;
    const bool slowWasStillWaiting = !slowDone;
    slowThread.join();

    EXPECT_EQ(fastLine.clientMismatches, 0);
    EXPECT_EQ(fastLine.deviceMismatches, 0);
    EXPECT_EQ(fastResult, -2);
    EXPECT_GE(fastTook, std::chrono::milliseconds(kFastMs));
    EXPECT_TRUE(slowWasStillWaiting) << "the fast line waited for the slow one";
    EXPECT_EQ(slowResult, -2);
    EXPECT_GE(slowTook, std::chrono::milliseconds(kSlowMs));
}

}  // namespace
}  // namespace kavrol::test
