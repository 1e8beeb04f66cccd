// The link API through fake hosts: each link on its own fake, the default
// link (the eleven exports) on the installed one.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kavrol32/link.h"
#include "link/link_state.h"
#include "support/caller_objects.h"
#include "support/command_examples.h"
#include "support/fake_calls.h"
#include "support/fake_fixture.h"
#include "support/frames.h"

namespace kavrol::test {
namespace {

// A KavrolCommand with the low bits of a MuxSendComm argument set, and the
// raw length the frame reads.
KavrolCommand commandOf(const SendArgs& a) {
    KavrolCommand c{};
    c.routeCount = static_cast<std::uint8_t>(a.routeCount);
    c.command = static_cast<std::uint8_t>(a.command);
    c.subCommand = static_cast<std::uint8_t>(a.subCommand);
    for (unsigned i = 0; i < 9; ++i) c.route[i] = static_cast<std::uint8_t>(a.route[i]);
    c.itemCount = static_cast<std::uint8_t>(a.itemCount);
    for (unsigned i = 0; i < 4; ++i) c.words[i] = static_cast<std::uint16_t>(a.words[i]);
    c.muxMode = static_cast<std::uint8_t>(a.muxMode);
    c.rawData = a.rawData;
    c.rawLength = (c.command == 8 || c.command == 11) ? c.itemCount : 0;
    return c;
}

// The installed fake serves the default link; the link under test has a
// fake of its own.
class LinkApiTest : public FakeHostTest {
protected:
    LinkApiTest() : own_(std::make_unique<host::FakeHost>()) { init(100); }

    void init(std::uint32_t timeoutMs, void* handle = kFakePort) {
        ASSERT_EQ(kavrol_link_init(&link_, handle, timeoutMs), 1);
        link::setLinkHost(link_, own_.get());
    }
    host::FakeHost& own() { return *own_; }

    std::int32_t receive(CallerObjects& o, std::uint32_t model) {
        return kavrol_link_receive(&link_, model, o.buffer.data(), reinterpret_cast<ReplyRecord*>(o.record.data()));
    }
    Bytes lastReceived(std::uint32_t capacity = KAVROL_MAX_REPLY_FRAME) {
        return copied(kavrol_link_last_received, capacity);
    }
    Bytes lastSent(std::uint32_t capacity = KAVROL_MAX_COMMAND_FRAME) {
        return copied(kavrol_link_last_sent, capacity);
    }

    // What a kavrol_link_last_* call copies, checked not to run past its count.
    Bytes copied(std::int32_t (*call)(const KavrolLink*, std::uint8_t*, std::uint32_t), std::uint32_t capacity) {
        Bytes out(capacity + 8, 0xEE);
        const std::int32_t n = call(&link_, out.data(), capacity);
        EXPECT_GE(n, 0);
        EXPECT_TRUE(allEqual(std::span(out).subspan(static_cast<std::size_t>(n)), 0xEE)) << "wrote past the count";
        out.resize(static_cast<std::size_t>(n));
        return out;
    }

    KavrolLink link_{};

private:
    std::unique_ptr<host::FakeHost> own_;
};

// Every command the export sends, the link sends byte for byte (the one
// export case a link refuses is covered below).
TEST_F(LinkApiTest, SendPutsTheSameBytesOnTheLineAsMuxSendComm) {
    for (const CommandExample& e : commandExamples()) {
        if ((e.args.routeCount & 0xFFU) > 9) continue;
        SCOPED_TRACE(e.name);
        own().clearWritten();
        const KavrolCommand c = commandOf(e.args);
        ASSERT_EQ(kavrol_link_send(&link_, &c), 1);
        EXPECT_EQ(bytesOf(own().written()), e.sent);
        // The link reports what it wrote, clipped to the caller's room.
        EXPECT_EQ(lastSent(), e.sent);
        EXPECT_EQ(lastSent(3), Bytes(e.sent.begin(), e.sent.begin() + std::min<std::ptrdiff_t>(3, std::ssize(e.sent))));
    }
    EXPECT_EQ(fake().recordCount(), 0U) << "a link call reached the installed host";
}

TEST_F(LinkApiTest, LastSentIsClearedByARejectedSendAndByInit) {
    const KavrolCommand good = commandOf(commandExamples()[0].args);
    ASSERT_EQ(kavrol_link_send(&link_, &good), 1);
    ASSERT_FALSE(lastSent().empty());
    KavrolCommand tooLong = good;
    tooLong.routeCount = 10;
    EXPECT_EQ(kavrol_link_send(&link_, &tooLong), -1);
    EXPECT_TRUE(lastSent().empty());
    ASSERT_EQ(kavrol_link_send(&link_, &good), 1);
    EXPECT_EQ(kavrol_link_send(&link_, nullptr), -1);
    EXPECT_TRUE(lastSent().empty());
    ASSERT_EQ(kavrol_link_send(&link_, &good), 1);
    init(100);
    EXPECT_TRUE(lastSent().empty());
    std::uint8_t dest[4];
    EXPECT_EQ(kavrol_link_last_sent(nullptr, dest, 4), 0);
    EXPECT_EQ(kavrol_link_last_sent(&link_, nullptr, 4), 0);
}

TEST_F(LinkApiTest, ArgumentsALinkCannotUseAreRejectedBeforeAnyPortCall) {
    const std::uint8_t raw[4] = {1, 2, 3, 4};
    auto raw8 = [&](std::uint8_t items, std::uint32_t length, const std::uint8_t* data) {
        KavrolCommand c{};
        c.command = 8;
        c.itemCount = items;
        c.rawLength = length;
        c.rawData = data;
        return c;
    };
    KavrolCommand routeTen{};
    routeTen.routeCount = 10;
    routeTen.command = 5;
    KavrolCommand wordsWithRawLength{};
    wordsWithRawLength.command = 3;
    wordsWithRawLength.itemCount = 2;
    wordsWithRawLength.rawData = raw;
    wordsWithRawLength.rawLength = 2;
    KavrolCommand raw11Short = raw8(4, 3, raw);
    raw11Short.command = 11;
    raw11Short.muxMode = 1;

    struct Row {
        const char* name;
        KavrolCommand command;
    };
    const Row rows[] = {
        {"route count 10, direct", routeTen},
        {"raw length below the item count", raw8(4, 3, raw)},
        {"raw length above the item count", raw8(3, 4, raw)},
        {"raw length for a command without raw data", wordsWithRawLength},
        {"null raw data with a length", raw8(2, 2, nullptr)},
        {"command 11, multiplexed, short", raw11Short},
        {"raw payload too long for a frame", raw8(45, 45, raw)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(kavrol_link_send(&link_, &row.command), -1);
    }
    EXPECT_EQ(kavrol_link_send(nullptr, &rows[0].command), -1);
    EXPECT_EQ(kavrol_link_send(&link_, nullptr), -1);
    // An object no init has started counts as no link at all.
    KavrolLink zeroed{};
    const KavrolCommand fine = commandOf(commandExamples()[0].args);
    EXPECT_EQ(kavrol_link_send(&zeroed, &fine), -1);
    EXPECT_EQ(kavrol_link_ack(&zeroed, 6), -1);

    CallerObjects o;
    o.fill(0xB4, 0x4B);
    const Bytes frame = replyFrame(1, 0, Bytes(20, 0x11));
    own().feed(frame.data(), frame.size());
    EXPECT_EQ(kavrol_link_receive(nullptr, 0, o.buffer.data(), reinterpret_cast<ReplyRecord*>(o.record.data())), -1);
    EXPECT_EQ(kavrol_link_receive(&link_, 0, nullptr, reinterpret_cast<ReplyRecord*>(o.record.data())), -1);
    EXPECT_EQ(kavrol_link_receive(&link_, 0, o.buffer.data(), nullptr), -1);
    EXPECT_EQ(kavrol_link_receive(&zeroed, 0, o.buffer.data(), reinterpret_cast<ReplyRecord*>(o.record.data())), -1);
    EXPECT_EQ(kavrol_link_ack(nullptr, 6), -1);
    EXPECT_EQ(kavrol_link_init(nullptr, kFakePort, 10), -1);
    EXPECT_EQ(kavrol_link_port_lost(nullptr), 0);
    std::uint8_t dest[4];
    EXPECT_EQ(kavrol_link_last_received(nullptr, dest, 4), 0);
    EXPECT_EQ(kavrol_link_last_received(&link_, nullptr, 4), 0);
    EXPECT_EQ(kavrol_link_last_received(&zeroed, dest, 4), 0);
    EXPECT_EQ(kavrol_link_port_lost(&zeroed), 0);

    EXPECT_EQ(portCalls(own()).size(), 0U) << "a rejected call reached the port";
    EXPECT_EQ(own().pendingInput(), frame.size());
    EXPECT_TRUE(allEqual(o.buffer, 0xB4));
    EXPECT_TRUE(allEqual(o.record, 0x4B));

    // A raw command of no items reads nothing: a null pointer is fine.
    const KavrolCommand rawNone = raw8(0, 0, nullptr);
    EXPECT_EQ(kavrol_link_send(&link_, &rawNone), 1);
}

TEST_F(LinkApiTest, ReceiveDecodesAsMuxReceiveCommAndKeepsTheBytesAsRead) {
    for (const std::uint8_t code : std::initializer_list<std::uint8_t>{1, 2, 3, 5, 6, 8, 9}) {
        SCOPED_TRACE("code " + std::to_string(code));
        Bytes payload(60);
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + code);
        const Bytes frame = replyFrame(code, 0x5A, payload);
        own().feed(frame.data(), frame.size());
        fake().feed(frame.data(), frame.size());
        bind();
        CallerObjects viaLink;
        CallerObjects viaExport;
        viaLink.fill(0xB4, 0x4B);
        viaExport.fill(0xB4, 0x4B);
        ASSERT_EQ(receive(viaLink, 17), 1);
        ASSERT_EQ(viaExport.receive(17), 1);
        EXPECT_EQ(viaLink.buffer, viaExport.buffer);
        EXPECT_EQ(viaLink.record, viaExport.record);
        EXPECT_EQ(lastReceived(), frame) << "the checksum bytes are kept as they came";
    }
}

TEST_F(LinkApiTest, LastReceivedHoldsWhatTheLastReceiveRead) {
    const Bytes good = frameWithLength(250, 3, 0x6C);
    const Bytes badLength = frameWithLength(251, 1, 0x5D);
    Bytes truncated = frameWithLength(20, 1, 0x21);
    truncated.resize(12);
    Bytes deviceError = frameWithLength(9, 250, 0x01);
    struct Row {
        const char* name;
        Bytes input;
        std::int32_t result;
        std::size_t kept;
    };
    const Row rows[] = {
        {"longest frame", good, 1, 251},
        {"device error", deviceError, -9, deviceError.size()},
        {"bad checksum", withBadChecksum(good), -3, 251},
        {"length byte 251: header only", badLength, -3, 2},
        {"rest missing: header only", truncated, -2, 2},
        {"nothing came", {}, -2, 0},
        {"one byte came", {0x3E}, -2, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        init(5);
        own().purge(kFakePort, host::kPurgeReceive);
        if (!row.input.empty()) own().feed(row.input.data(), row.input.size());
        CallerObjects o;
        EXPECT_EQ(receive(o, 2), row.result);
        const Bytes kept = lastReceived();
        ASSERT_EQ(kept.size(), row.kept);
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), row.input.begin()));
    }

    init(100);
    own().purge(kFakePort, host::kPurgeReceive);
    own().feed(good.data(), good.size());
    CallerObjects o;
    ASSERT_EQ(receive(o, 2), 1);
    EXPECT_EQ(lastReceived(10), Bytes(good.begin(), good.begin() + 10)) << "capacity caps the copy";
    EXPECT_EQ(lastReceived(1), Bytes{good[0]});
    EXPECT_EQ(lastReceived(0), Bytes{});
    ASSERT_EQ(kavrol_link_init(&link_, kFakePort, 100), 1);
    EXPECT_EQ(lastReceived(), Bytes{}) << "init forgets the last reply";
}

// The exports and the links keep apart: neither reaches the other's host or
// state.
TEST_F(LinkApiTest, LinksAndTheDefaultLinkShareNothing) {
    void* const otherPort = reinterpret_cast<void*>(static_cast<std::intptr_t>(0x5678));
    bind(30, otherPort);
    const Bytes frame = replyFrame(1, 0, Bytes(20, 0x11));
    own().replyOnWrite(frame.data(), frame.size());
    const KavrolCommand c = commandOf(commandExamples()[0].args);
    ASSERT_EQ(kavrol_link_send(&link_, &c), 1);
    CallerObjects o;
    ASSERT_EQ(receive(o, 0), 1);
    own().clearWritten();
    ASSERT_EQ(kavrol_link_ack(&link_, 0x12B5), 1);
    EXPECT_EQ(bytesOf(own().written()), (Bytes{0xB5}));
    EXPECT_EQ(fake().recordCount(), 0U);
    EXPECT_EQ(link::libraryState().defaultLink.portHandle, otherPort);
    EXPECT_EQ(link::libraryState().defaultLink.receivedCount, 0U);
    for (const FakeRecord& r : portCalls(own())) EXPECT_EQ(r.port, kFakePort);

    own().clearRecords();
    ASSERT_EQ(muxSend(commandExamples()[0].args), 1);
    ASSERT_EQ(Invia_Ack(6), 1);
    EXPECT_EQ(own().recordCount(), 0U);
    EXPECT_EQ(lastReceived(), frame);
}

// A hang-up ends the link's call at once with its time-out result and is
// named on that link only, until its next call.
TEST_F(LinkApiTest, LostPortIsReportedOnItsOwnLink) {
    init(0xFFFFFFFEU);
    own().lostPort = true;
    CallerObjects o;
    EXPECT_EQ(receive(o, 0), -2);
    EXPECT_EQ(kavrol_link_port_lost(&link_), 1);
    bind();
    EXPECT_EQ(MuxReceiveComm(0, o.buffer.data(), reinterpret_cast<ReplyRecord*>(o.record.data())), -2);
    EXPECT_FALSE(link::libraryState().defaultLink.portLost);
    own().lostPort = false;
    EXPECT_EQ(kavrol_link_ack(&link_, 6), 1);
    EXPECT_EQ(kavrol_link_port_lost(&link_), 0);
}

TEST(LinkApi, InitNeedsNoZeroedObjectAndLeavesAnUnboundLinkQuiet) {
    auto fake = std::make_unique<host::FakeHost>();
    KavrolLink link;
    std::memset(&link, 0xA7, sizeof link);
    ASSERT_EQ(kavrol_link_init(&link, nullptr, 3), 1);
    link::setLinkHost(link, fake.get());
    EXPECT_EQ(kavrol_link_port_lost(&link), 0);
    std::uint8_t dest[8];
    EXPECT_EQ(kavrol_link_last_received(&link, dest, sizeof dest), 0);
    const KavrolCommand c = commandOf(commandExamples()[0].args);
    EXPECT_EQ(kavrol_link_send(&link, &c), -2);
    EXPECT_EQ(kavrol_link_ack(&link, 1), 1);
    EXPECT_EQ(portCalls(*fake).size(), 0U) << "an unbound link touched a port";
}

TEST(LinkApi, ResultNames) {
    struct Row {
        std::int32_t result;
        const char* name;
    };
    const Row rows[] = {
        {1, "ok"},
        {-1, "rejected"},
        {-2, "timeout"},
        {-3, "frame-error"},
        {-4, "device-error"},
        {-9, "device-error"},
        {-12, "device-error"},
        {-13, "unknown"},
        {0, "unknown"},
        {2, "unknown"},
        {20, "unknown"},
        {INT32_MIN, "unknown"},
    };
    for (const Row& row : rows) EXPECT_STREQ(kavrol_result_name(row.result), row.name) << row.result;
}

// Worked by hand: f[4] is the XOR of the odd positions, f[5] of the even
// ones, both checksum positions counted as 0, over f[0..L] only.
TEST(LinkApi, FrameChecksumIsWhatTheReaderExpects) {
    struct Row {
        std::vector<std::uint8_t> frame;
        std::int32_t result;
        std::uint8_t odd, even;
    };
    const Row rows[] = {
        {{0x3E, 0x05, 0xF9, 0x00, 0x05, 0xC8}, 1, 0x05, 0xC7},
        {{0x3E, 0x05, 0x01, 0x00, 0xAA, 0xBB}, 1, 0x05, 0x3F},
        {{0x3E, 0x06, 0x01, 0x00, 0x00, 0x00, 0x10, 0x99, 0x99}, 1, 0x06, 0x2F},  // bytes past L ignored
        {{0x3E, 0x07, 0x01, 0x00, 0x00, 0x00, 0x10}, 0, 0xEE, 0xEE},              // cut before L
        {{0x3E, 0x04, 0x01, 0x00, 0x00, 0x00}, 0, 0xEE, 0xEE},                    // L too small
        {{0x3E, 0x05, 0x01, 0x00, 0x00}, 0, 0xEE, 0xEE},                          // shorter than a frame
    };
    for (const Row& row : rows) {
        std::uint8_t computed[2] = {0xEE, 0xEE};
        EXPECT_EQ(kavrol_frame_checksum(row.frame.data(), static_cast<std::uint32_t>(row.frame.size()), computed),
                  row.result);
        EXPECT_EQ(computed[0], row.odd);
        EXPECT_EQ(computed[1], row.even);
    }
    std::uint8_t computed[2] = {};
    const std::uint8_t frame[] = {0x3E, 0x05, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(kavrol_frame_checksum(nullptr, 6, computed), 0);
    EXPECT_EQ(kavrol_frame_checksum(frame, 6, nullptr), 0);
}

}  // namespace
}  // namespace kavrol::test
