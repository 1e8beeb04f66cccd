// The reply reader on the fake host: the order of the checks, the results,
// what is read and what stays queued, the caller objects on every path, the
// zero-filled receive area, and no heap allocation.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "support/alloc_counter.h"
#include "support/byte_compare.h"
#include "support/caller_objects.h"
#include "support/fake_fixture.h"
#include "support/frames.h"

namespace kavrol::test {
namespace {

using Call = host::FakeHost::Call;

// A frame that every layout group of these tests writes a lot for.
Bytes code3Frame(std::uint8_t code = 3) {
    return replyFrame(code, 0, payloadFrom(40, [](unsigned j) { return static_cast<std::uint8_t>(0x80 + j); }));
}

Bytes without(Bytes frame, std::size_t lastBytes) {
    frame.resize(frame.size() - lastBytes);
    return frame;
}

Bytes corrupted(Bytes frame, std::size_t at) {
    frame.at(at) ^= 0x40;
    return frame;
}

class ReplyReader : public FakeHostTest {
protected:
    void SetUp() override { bind(100); }

    std::int32_t receive(const Bytes& input, std::uint32_t model, CallerObjects& o) {
        if (!input.empty()) fake().feed(input.data(), input.size());
        return o.receive(model);
    }
};

struct FailureCase {
    std::string name;
    Bytes input;
    std::int32_t result;
    std::size_t reads;    // read calls made
    std::size_t pending;  // input bytes left queued
    unsigned failReadAt = 0;
};

std::vector<FailureCase> failureCases() {
    const Bytes good = code3Frame();
    std::vector<FailureCase> cases = {
        {"nothing arrives", {}, -2, 0, 0},
        {"half a header", {0x3E}, -2, 0, 1},
        {"L = 251", frameWithLength(251, 3, 0x11), -3, 1, 250},
        {"L = 255", frameWithLength(255, 3, 0x11), -3, 1, 254},
        {"truncated frame", without(good, 5), -2, 1, good.size() - 7},
        {"truncated device error", without(frameWithLength(20, 250), 1), -2, 1, 18},
        {"first read fails", good, -3, 1, good.size() - 2, 1},
        {"second read fails", good, -3, 2, 0, 2},
        {"checksum O wrong", corrupted(good, 4), -3, 2, 0},
        {"checksum E wrong", corrupted(good, 5), -3, 2, 0},
        {"start byte corrupted", corrupted(good, 0), -3, 2, 0},
        {"reply code corrupted", corrupted(good, 2), -3, 2, 0},
        {"last payload byte corrupted", corrupted(good, 40), -3, 2, 0},
    };
    for (unsigned last = 0; last <= 4; ++last) {
        const Bytes f = frameWithLength(last, 1, 0x22);
        cases.push_back({"L = " + std::to_string(last), f, -3, 1, f.size() - 2});
    }
    for (std::uint8_t code : std::initializer_list<std::uint8_t>{247, 250, 255}) {
        cases.push_back({"bad checksum on error code " + std::to_string(code),
                         withBadChecksum(frameWithLength(8, code)), -3, 2, 0});
    }
    const std::int32_t deviceResults[] = {-12, -11, -10, -9, -8, -7, -6, -5, -4};  // codes 247..255
    for (unsigned code = 247; code <= 255; ++code) {
        cases.push_back({"device error " + std::to_string(code), frameWithLength(12, static_cast<std::uint8_t>(code)),
                         deviceResults[code - 247], 2, 0});
    }
    return cases;
}

// Every failure path returns its result and leaves both caller objects
// byte for byte as they were.
TEST_F(ReplyReader, FailuresLeaveBufferAndRecordUntouched) {
    for (const FailureCase& c : failureCases()) {
        for (std::uint32_t model : {2U, 23U}) {
            SCOPED_TRACE(c.name + ", model " + std::to_string(model));
            host::FakeHost& f = fake();
            f.purge(kFakePort, host::kPurgeReceive);
            f.clearRecords();
            f.failReadNumber = c.failReadAt;
            CallerObjects o;
            o.fill(0xA7, 0x7A);
            EXPECT_EQ(receive(c.input, model, o), c.result);
            EXPECT_EQ(f.count(Call::Read), c.reads);
            if (c.failReadAt == 0) {
                EXPECT_EQ(f.pendingInput(), c.pending);
            }
            EXPECT_TRUE(allEqual(o.buffer, 0xA7));
            EXPECT_TRUE(allEqual(o.record, 0x7A));
        }
    }
}

// The header read takes 2 bytes, the second read exactly L - 1; the next
// frame stays queued for the next call.
TEST_F(ReplyReader, ReadsTheHeaderThenExactlyTheRestOfTheFrame) {
    for (unsigned last : {5U, 8U, 250U}) {
        SCOPED_TRACE("L = " + std::to_string(last));
        const Bytes first = frameWithLength(last, 9, 0x31);
        const Bytes second = frameWithLength(7, 8, 0x42);
        fake().feed(first.data(), first.size());
        fake().feed(second.data(), second.size());
        fake().clearRecords();
        CallerObjects o;
        o.fill(0xEE, 0xDD);
        ASSERT_EQ(o.receive(0), 1);
        host::FakeHost::Record calls[16];
        std::vector<std::uint32_t> readCounts;
        for (std::size_t i = 0, n = fake().portCalls(calls, 16); i < n; ++i) {
            if (calls[i].call == Call::Read) readCounts.push_back(calls[i].arg);
        }
        EXPECT_EQ(readCounts, (std::vector<std::uint32_t>{2, last - 1}));
        EXPECT_EQ(fake().pendingInput(), second.size());
        EXPECT_FALSE(fake().overRead);
        // Model 0, code 9: the whole payload, then one zero.
        EXPECT_EQ(o.buffer[last - 5], 0);
        if (last >= 6) {
            EXPECT_EQ(o.buffer[last - 6], 0x31);
        }
        EXPECT_EQ(o.buffer[last - 4], 0xEE);

        ASSERT_EQ(o.receive(0), 1);  // model 0, code 8: r[6] widened
        EXPECT_EQ(o.buffer[0], 0x42);
        EXPECT_EQ(o.buffer[1], 0);
        EXPECT_EQ(fake().pendingInput(), 0U);
    }
}

// Reply codes without a layout anywhere return 1 and change nothing.
TEST_F(ReplyReader, CodesWithoutLayoutReturnOneAndChangeNothing) {
    std::vector<std::uint8_t> codes = {0};
    for (unsigned c = 10; c <= 246; ++c) codes.push_back(static_cast<std::uint8_t>(c));
    for (std::uint32_t model : {0U, 1U, 2U, 9U, 19U, 23U, 25U, 0xFFFFFFFFU}) {
        for (std::uint8_t code : codes) {
            CallerObjects o;
            o.fill(0x5C, 0xC5);
            ASSERT_EQ(receive(code3Frame(code), model, o), 1) << "model " << model << " code " << unsigned{code};
            ASSERT_TRUE(allEqual(o.buffer, 0x5C)) << "model " << model << " code " << unsigned{code};
            ASSERT_TRUE(allEqual(o.record, 0xC5)) << "model " << model << " code " << unsigned{code};
        }
    }
}

// Without a layout the record stage still parses the caller's buffer as it
// stands.
TEST_F(ReplyReader, RecordStageParsesAnUnnormalizedBufferAsTheCallerLeftIt) {
    for (std::uint32_t model : {1U, 19U, 25U, 0xFFFFFFFFU}) {
        CallerObjects o;
        o.fill(0, 0);
        for (unsigned k = 0; k < 20; ++k) o.buffer[k] = static_cast<std::uint8_t>(k + 1);
        const Bytes before(o.buffer.begin(), o.buffer.end());
        ASSERT_EQ(receive(code3Frame(1), model, o), 1);
        EXPECT_TRUE(sameBytes(before, o.buffer)) << "model " << model;
        EXPECT_EQ(o.fields().code1Word0, 513) << "model " << model;
        EXPECT_EQ(o.fields().code1Word9, 20 * 256 + 19) << "model " << model;

        ASSERT_EQ(receive(code3Frame(6), model, o), 1);
        EXPECT_EQ(o.fields().code6Word0, 0x0201);
        EXPECT_EQ(o.fields().code6Word2, 0);  // buffer 28..29 as the caller left them
    }
    // Model 0 has no code-2 layout: the stage parses the untouched buffer.
    CallerObjects o;
    o.fill(0x09, 0);
    ASSERT_EQ(receive(code3Frame(2), 0, o), 1);
    EXPECT_TRUE(allEqual(o.buffer, 0x09));
    EXPECT_EQ(o.fields().code2Word0, 0x0909);
    EXPECT_EQ(o.fields().code2Word5, 0x0909);
}

// Fixed source positions past r[L] read 0, also right after a longer frame
// has filled the same stack area.
TEST_F(ReplyReader, ReceiveAreaPastTheFrameReadsZero) {
    CallerObjects o;
    o.fill(0xEE, 0xDD);
    ASSERT_EQ(receive(replyFrame(3, 0, Bytes(35, 0xEE)), 23, o), 1);     // L = 40
    ASSERT_EQ(receive(replyFrame(3, 0, {0x01, 0x02, 0x03}), 23, o), 1);  // L = 8
    EXPECT_EQ(o.buffer[0], 0x01);
    EXPECT_EQ(o.buffer[2], 0x03);
    for (unsigned k : {3U, 15U, 64U, 89U, 97U, 100U, 117U, 127U}) EXPECT_EQ(o.buffer[k], 0) << "out " << k;

    ASSERT_EQ(receive(replyFrame(5, 0, Bytes(35, 0xEE)), 2, o), 1);
    ASSERT_EQ(receive(replyFrame(5, 0, {0x01, 0x02, 0x03}), 2, o), 1);  // reads up to r[26]
    EXPECT_EQ(o.buffer[0], 0x03);                                       // r[8]
    for (unsigned k = 1; k < 20; ++k) EXPECT_EQ(o.buffer[k], 0) << "out " << k;
}

TEST_F(ReplyReader, MakesNoHeapAllocation) {
    AllocCounter::start();
    ::operator delete(::operator new(16));  // a direct call cannot be elided
    ASSERT_EQ(AllocCounter::stop(), 1U) << "the counter must see this binary's allocations";

    std::vector<Bytes> inputs;
    for (unsigned code = 0; code <= 255; ++code) inputs.push_back(code3Frame(static_cast<std::uint8_t>(code)));
    inputs.push_back(frameWithLength(250, 9, 0x66));
    inputs.push_back(withBadChecksum(code3Frame()));
    inputs.push_back(frameWithLength(251, 1));
    inputs.push_back(without(code3Frame(), 3));
    CallerObjects o;
    for (std::uint32_t model : {0U, 2U, 9U, 23U, 1U, 0xFFFFFFFFU}) {
        for (const Bytes& in : inputs) {
            fake().purge(kFakePort, host::kPurgeReceive);
            fake().feed(in.data(), in.size());
            AllocCounter::start();
            static_cast<void>(o.receive(model));
            ASSERT_EQ(AllocCounter::stop(), 0U) << "model " << model << " frame of " << in.size() << " bytes";
        }
    }
}

}  // namespace
}  // namespace kavrol::test
