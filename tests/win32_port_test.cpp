// The Win32 host's waits against a simulated serial driver and clock, as on
// a Windows system at its default timer resolution: the tick counter moves
// in 15.625 ms steps, a Sleep lasts whole ticks, driver time-outs fire on a
// tick, bytes arrive at scripted times and output drains at line speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/win32_port.h"
#include "link/link_state.h"
#include "link/timed_io.h"

namespace {

namespace win32 = kavrol::host::win32;
using kavrol::host::PortHandle;
using kavrol::host::QueueCounts;
using kavrol::link::timedRead;
using kavrol::link::timedWrite;
using Bytes = std::vector<std::uint8_t>;
using Micros = std::uint64_t;

constexpr Micros kTickUs = 15625;
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFU;

struct SimDriver {
    Micros nowUs = 0;
    std::uint32_t tickBase = 0;
    bool highResolution = true;
    bool ignoresTimeouts = false;  // ReadFile returns at once with what is there
    bool refusesTimeouts = false;  // SetCommTimeouts fails
    win32::Transfer::Status readStatus = win32::Transfer::Status::Ok;
    win32::LineFormat line{10000, 10};  // 1 ms per character
    Micros drainUsPerByte = 1000;
    // The application's setting: reads return at once with what is there.
    win32::CommTimeouts timeouts{kMaxDword, 0, 0, 0, 0};
    std::vector<std::pair<Micros, std::uint8_t>> arrivals;  // in time order
    std::size_t consumed = 0;
    Micros outEndUs = 0;  // when the last byte written has left the line
    Bytes wire;
    unsigned readCalls = 0;
    unsigned clearErrors = 0;

    std::uint32_t tick() const { return tickBase + static_cast<std::uint32_t>(nowUs / kTickUs * kTickUs / 1000); }
    static Micros boundaryAtOrAfter(Micros t) { return (t + kTickUs - 1) / kTickUs * kTickUs; }
    std::size_t arrivedBy(Micros t) const {
        std::size_t n = 0;
        while (n < arrivals.size() && arrivals[n].first <= t) ++n;
        return n;
    }
    void arrive(Micros at, const Bytes& bytes) {
        for (std::uint8_t b : bytes) arrivals.emplace_back(at, b);
    }
    std::uint32_t outQueue() const {
        if (nowUs >= outEndUs) return 0;
        return static_cast<std::uint32_t>((outEndUs - nowUs + drainUsPerByte - 1) / drainUsPerByte);
    }
};

// The Api of win32::PortHost on the simulation; every call costs 1 µs.
struct SimCalls {
    SimDriver* d = nullptr;

    void purge(PortHandle, std::uint32_t flags) {
        ++d->nowUs;
        if ((flags & kavrol::host::kPurgeRxClear) != 0) d->consumed = d->arrivedBy(d->nowUs);
        if ((flags & kavrol::host::kPurgeTxClear) != 0) d->outEndUs = d->nowUs;
    }
    bool clearError(PortHandle, QueueCounts& counts, bool& lost) {
        ++d->nowUs;
        ++d->clearErrors;
        lost = false;
        counts.inQueue = static_cast<std::uint32_t>(d->arrivedBy(d->nowUs) - d->consumed);
        counts.outQueue = d->outQueue();
        return true;
    }
    bool getTimeouts(PortHandle, win32::CommTimeouts& t) {
        t = d->timeouts;
        return true;
    }
    bool setTimeouts(PortHandle, const win32::CommTimeouts& t) {
        if (d->refusesTimeouts) return false;
        d->timeouts = t;
        return true;
    }
    bool lineFormat(PortHandle, win32::LineFormat& line) {
        line = d->line;
        return true;
    }
    // Completes when count bytes are there, or at the first tick at or after
    // the total time-out; with the application's immediate setting (or a
    // driver that ignores time-outs) at once.
    win32::Transfer readFile(PortHandle, std::uint8_t* dest, std::uint32_t count, void*, bool) {
        ++d->nowUs;
        ++d->readCalls;
        win32::Transfer r;
        r.status = d->readStatus;
        if (r.status != win32::Transfer::Status::Ok) return r;  // a failing read fails at once
        const win32::CommTimeouts& t = d->timeouts;
        if (!d->ignoresTimeouts && t.readInterval != kMaxDword) {
            EXPECT_EQ(t.readInterval, 0U);
            EXPECT_EQ(t.readMultiplier, 0U);
            const std::size_t last = d->consumed + count - 1;
            Micros end = last < d->arrivals.size() ? std::max(d->nowUs, d->arrivals[last].first) : ~Micros{0};
            if (t.readConstant != 0) {
                end = std::min(end, SimDriver::boundaryAtOrAfter(d->nowUs + t.readConstant * 1000ULL));
            }
            if (end == ~Micros{0}) {
                ADD_FAILURE() << "a read without time-out waits for bytes that never come";
                end = d->nowUs;
            }
            d->nowUs = end;
        }
        r.done = static_cast<std::uint32_t>(std::min<std::size_t>(count, d->arrivedBy(d->nowUs) - d->consumed));
        for (std::uint32_t i = 0; i < r.done; ++i) dest[i] = d->arrivals[d->consumed + i].second;
        d->consumed += r.done;
        return r;
    }
    win32::Transfer writeFile(PortHandle, const std::uint8_t* bytes, std::uint32_t count, void*, bool) {
        ++d->nowUs;
        d->wire.insert(d->wire.end(), bytes, bytes + count);
        d->outEndUs = std::max(d->nowUs, d->outEndUs) + count * d->drainUsPerByte;
        win32::Transfer r;
        r.done = count;
        return r;
    }
    std::uint32_t tickMs() { return d->tick(); }
    void yield() { ++d->nowUs; }
    // A Sleep lasts whole ticks.
    void sleepMs(std::uint32_t ms) { d->nowUs += ms == 0 ? 1 : (ms * 1000ULL + kTickUs - 1) / kTickUs * kTickUs; }
    bool sleepPreciseUs(std::uint32_t us) {
        if (!d->highResolution) return false;
        d->nowUs += us;
        return true;
    }
};

class SimHost final : public win32::PortHost<SimCalls> {
public:
    explicit SimHost(SimDriver& d) : PortHost(SimCalls{&d}) {}
    kavrol::host::FileHandle fileCreate(const char*, std::int32_t) override { return kavrol::host::kFileError; }
    kavrol::host::FileHandle fileOpenRead(const char*) override { return kavrol::host::kFileError; }
    std::int32_t fileWrite(kavrol::host::FileHandle, const std::uint8_t*, std::uint32_t) override { return -1; }
    std::int32_t fileRead(kavrol::host::FileHandle, std::uint8_t*, std::uint32_t) override { return -1; }
    void fileClose(kavrol::host::FileHandle) override {}
};

void* const kPort = reinterpret_cast<void*>(static_cast<std::intptr_t>(0x77));
const Bytes kRequest = {0x05, 0x05, 0x07, 0x02, 0x39};
const Bytes kReply = {0x3E, 0x07, 0x08, 0x00, 0x00, 0x00, 0x42, 0x00};

class Win32PortTest : public ::testing::Test {
protected:
    Win32PortTest() : host_(sim_) {
        link_.host = &host_;
        kavrol::link::bindPort(link_, kPort, 300);
    }
    ~Win32PortTest() override {
        // Every comm setting a call changed is back as the application left it.
        EXPECT_EQ(sim_.timeouts, applicationTimeouts_);
    }
    void startAt(Micros us) {
        sim_.nowUs = us;
        sim_.outEndUs = us;
    }
    // The first tick after which the tick counter shows more than timeoutMs
    // since the reading at `startUs`: where a wait from there must end.
    Micros deadlineFrom(Micros startUs, std::uint32_t timeoutMs) const {
        SimDriver d = sim_;
        d.nowUs = startUs;
        const std::uint32_t first = d.tick();
        d.nowUs = SimDriver::boundaryAtOrAfter(startUs);
        while (d.tick() - first <= timeoutMs) d.nowUs += kTickUs;
        return d.nowUs;
    }

    SimDriver sim_;
    const win32::CommTimeouts applicationTimeouts_ = sim_.timeouts;
    SimHost host_;
    kavrol::link::LinkState link_;
};

struct ReplyCase {
    const char* name;
    bool highResolution;
    Micros startInTick;  // where in a tick the request is sent
};

class ReplyLatencyTest : public Win32PortTest, public ::testing::WithParamInterface<ReplyCase> {};

// A reply 5 ms after the request has gone is taken within 1 ms of arriving,
// the header and then the rest, as the reply reader reads them.
TEST_P(ReplyLatencyTest, ReplyIsTakenWithinOneMillisecondOfArriving) {
    sim_.highResolution = GetParam().highResolution;
    startAt(20 * kTickUs + GetParam().startInTick);
    ASSERT_EQ(timedWrite(link_, kRequest.data(), static_cast<std::uint16_t>(kRequest.size())), 1);
    EXPECT_EQ(sim_.wire, kRequest);
    const Micros arrival = sim_.nowUs + 5000;
    sim_.arrive(arrival, kReply);
    std::uint8_t got[8] = {};
    ASSERT_EQ(timedRead(link_, got, 2), 1);
    ASSERT_EQ(timedRead(link_, got + 2, 6), 1);
    EXPECT_LE(sim_.nowUs - arrival, 1000U);
    EXPECT_EQ(Bytes(got, got + 8), kReply);
}

const ReplyCase kReplyCases[] = {
    {"AtATick", true, 0},
    {"MidTick", true, 7000},
    {"LateInTheTick", true, 15000},
    {"NoHighResolutionTimer", false, 7000},
};
INSTANTIATE_TEST_SUITE_P(Win32Port, ReplyLatencyTest, ::testing::ValuesIn(kReplyCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// A reply whose rest comes 25 ms after its header is taken as it comes.
TEST_F(Win32PortTest, ReplyInTwoPartsIsTakenAsEachPartArrives) {
    startAt(3 * kTickUs + 4000);
    sim_.arrive(sim_.nowUs + 5000, Bytes(kReply.begin(), kReply.begin() + 2));
    const Micros rest = sim_.nowUs + 30000;
    sim_.arrive(rest, Bytes(kReply.begin() + 2, kReply.end()));
    std::uint8_t got[8] = {};
    ASSERT_EQ(timedRead(link_, got, 2), 1);
    ASSERT_EQ(timedRead(link_, got + 2, 6), 1);
    EXPECT_LE(sim_.nowUs - rest, 1000U);
    EXPECT_EQ(Bytes(got, got + 8), kReply);
}

struct DrainCase {
    const char* name;
    bool highResolution;
    Micros drainUsPerByte;  // the line's real speed; the DCB says 1 ms
    Micros bound;           // latest look after the queue drained
};

class OutputDrainTest : public Win32PortTest, public ::testing::WithParamInterface<DrainCase> {};

// Ten bytes queued for output are seen gone within 2 ms of leaving the line
// where a high-resolution timer exists, within one tick where not.
TEST_P(OutputDrainTest, EmptyOutputQueueIsSeenSoonAfterItDrains) {
    sim_.highResolution = GetParam().highResolution;
    sim_.drainUsPerByte = GetParam().drainUsPerByte;
    const Bytes command(10, 0x55);
    for (Micros startInTick : {Micros{0}, Micros{6000}, Micros{15500}}) {
        startAt(40 * kTickUs + startInTick);
        ASSERT_EQ(timedWrite(link_, command.data(), 10), 1);
        const Micros drained = sim_.outEndUs;
        EXPECT_GE(sim_.nowUs, drained);
        EXPECT_LE(sim_.nowUs - drained, GetParam().bound) << "start " << startInTick << " µs into a tick";
    }
}

const DrainCase kDrainCases[] = {
    {"HighResolutionTimer", true, 1000, 2000},
    {"HighResolutionTimerSlowerLine", true, 1500, 2000},
    {"NoHighResolutionTimer", false, 1000, kTickUs},
};
INSTANTIATE_TEST_SUITE_P(Win32Port, OutputDrainTest, ::testing::ValuesIn(kDrainCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

struct SilentCase {
    const char* name;
    std::uint32_t timeoutMs;
    std::uint32_t tickBase;
    bool ignoresTimeouts;
};

class SilentDeviceTest : public Win32PortTest, public ::testing::WithParamInterface<SilentCase> {};

// A silent device gives -2 at the first tick past its deadline, never
// earlier and never more than one tick later, wherever in a tick the wait
// starts; a byte that comes just before that tick is still taken. A driver
// that ignores the time-outs costs no more than a few reads per tick.
TEST_P(SilentDeviceTest, SilentDeviceTimesOutAtTheDeadlineTick) {
    const SilentCase& c = GetParam();
    sim_.tickBase = c.tickBase;
    sim_.ignoresTimeouts = c.ignoresTimeouts;
    kavrol::link::bindPort(link_, kPort, c.timeoutMs);
    for (Micros startInTick : {Micros{0}, Micros{1}, Micros{7000}, Micros{15600}}) {
        const Micros start = 64 * kTickUs + startInTick;
        startAt(start);
        const Micros deadline = deadlineFrom(start, c.timeoutMs);
        sim_.readCalls = 0;
        std::uint8_t got[2] = {};
        EXPECT_EQ(timedRead(link_, got, 2), -2);
        EXPECT_GE(sim_.nowUs, deadline) << "start " << startInTick << " µs into a tick";
        EXPECT_LE(sim_.nowUs, deadline + kTickUs) << "start " << startInTick << " µs into a tick";
        EXPECT_LE(sim_.readCalls, 80U + 2 * c.timeoutMs / 15);

        startAt(start);
        sim_.arrivals.clear();
        sim_.consumed = 0;
        sim_.arrive(deadline - 50, {0x3E, 0x07});
        if (!c.ignoresTimeouts) {
            EXPECT_EQ(timedRead(link_, got, 2), 1) << "start " << startInTick << " µs into a tick";
        }
        sim_.arrivals.clear();
        sim_.consumed = 0;
    }
}

const SilentCase kSilentCases[] = {
    {"OneMillisecond", 1, 0, false},
    {"TwentyMilliseconds", 20, 0, false},
    {"ThreeHundredMilliseconds", 300, 0, false},
    {"OneSecondAcrossTheWrap", 1000, 0xFFFFFE00U, false},
    {"DriverIgnoringTimeouts", 300, 0, true},
};
INSTANTIATE_TEST_SUITE_P(Win32Port, SilentDeviceTest, ::testing::ValuesIn(kSilentCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// A header that came without its rest: -2 at the deadline, and the read has
// taken the header from the driver's queue.
TEST_F(Win32PortTest, PartialReplyTimesOutAndConsumesWhatCame) {
    startAt(5 * kTickUs);
    sim_.arrive(sim_.nowUs + 2000, {0x3E, 0x07, 0x08});
    std::uint8_t got[8] = {};
    EXPECT_EQ(timedRead(link_, got, 8), -2);
    EXPECT_EQ(sim_.consumed, 3U);
}

// Read failures: a port that is gone ends the read at once with -2 and marks
// the link; any other failure gives -3 and clears the port's error state.
TEST_F(Win32PortTest, FailedReadsEndTheReadAtOnce) {
    const struct {
        win32::Transfer::Status status;
        std::int32_t result;
        bool lost;
    } cases[] = {
        {win32::Transfer::Status::Lost, -2, true},
        {win32::Transfer::Status::Failed, -3, false},
    };
    for (const auto& c : cases) {
        startAt(5 * kTickUs);
        sim_.readStatus = c.status;
        const unsigned clearsBefore = sim_.clearErrors;
        std::uint8_t got[2] = {};
        EXPECT_EQ(timedRead(link_, got, 2), c.result);
        EXPECT_EQ(link_.portLost, c.lost);
        EXPECT_LE(sim_.nowUs - 5 * kTickUs, 10U);
        EXPECT_EQ(sim_.clearErrors - clearsBefore, c.lost ? 0U : 1U);
    }
}

// A port whose time-outs cannot be set is waited for on its queue counts,
// in steps of one tick, and read as it is configured.
TEST_F(Win32PortTest, PortWithoutSettableTimeoutsFallsBackToQueueWaits) {
    sim_.refusesTimeouts = true;
    startAt(9 * kTickUs + 3000);
    const Micros arrival = sim_.nowUs + 5000;
    sim_.arrive(arrival, kReply);
    std::uint8_t got[8] = {};
    ASSERT_EQ(timedRead(link_, got, 8), 1);
    EXPECT_LE(sim_.nowUs - arrival, kTickUs);
    EXPECT_EQ(Bytes(got, got + 8), kReply);
}

TEST(Win32PortArithmetic, LineTimesFollowTheFraming) {
    EXPECT_EQ(win32::bitsPerChar(8, 0, 0), 10U);  // 8N1
    EXPECT_EQ(win32::bitsPerChar(7, 2, 2), 11U);  // 7E2
    EXPECT_EQ(win32::bitsPerChar(0, 0, 0), 10U);  // nonsense size: taken as 8
    const win32::LineFormat line9600{9600, 10};
    EXPECT_EQ(win32::lineTimeUs(line9600, 10), 10416U);
    // Capped by the last look, never below the shortest sleep.
    EXPECT_EQ(win32::drainSleepUs(line9600, 10, 3), 3000U);
    EXPECT_EQ(win32::drainSleepUs(line9600, 10, 0), win32::kShortestSleepUs);
    EXPECT_EQ(win32::drainSleepUs(line9600, 10, kavrol::host::kNoDeadline), 10416U);
    EXPECT_EQ(win32::drainSleepUs(line9600, 100000, kavrol::host::kNoDeadline), win32::kLongestSleepUs);
}

}  // namespace
