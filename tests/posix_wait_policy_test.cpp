// The POSIX host's sleep, block and spin lengths, worked out by hand from
// the line speed and the wait's counts (in nanoseconds, as numbers, not as
// the constants they check): a wrong unit or bound here makes a wait sleep
// through bytes that have arrived, or spin on a slow line.
#include <gtest/gtest.h>

#include <cstdint>

#include "host/posix_wait_policy.h"

namespace {

using kavrol::host::PortWait;
using namespace kavrol::host::posix;

constexpr LineSpeed k9600_8N1{9600, 10};
constexpr LineSpeed k115200_8N1{115200, 10};
constexpr LineSpeed k921600_8N1{921600, 10};
constexpr LineSpeed k300_7E2{300, 11};

PortWait input(std::uint32_t queued, std::uint32_t wanted, std::uint32_t stalls = 0) {
    PortWait w;
    w.queued = queued;
    w.wanted = wanted;
    w.stalls = stalls;
    return w;
}

PortWait output(std::uint32_t queued) {
    PortWait w;
    w.kind = PortWait::Kind::OutputEmpty;
    w.queued = queued;
    return w;
}

struct SleepCase {
    const char* name;
    LineSpeed line;
    PortWait wait;
    Nanos sleep;
};

const SleepCase kSleepCases[] = {
    // 23 missing characters of 10 bits at 115200 baud: 230 / 115200 s.
    {"MissingBytesAtTheirLineTime", k115200_8N1, input(2, 25), 1996527},
    {"OneMissingByteAt9600", k9600_8N1, input(24, 25), 1041666},
    // 10 bits at 10000 baud: exactly 1 ms, with nothing to round away.
    {"ExactLineTime", LineSpeed{10000, 10}, input(24, 25), 1000000},
    // 11-bit characters (7 data bits, parity, two stop bits) at 300 baud
    // take 36.7 ms each: capped so that bytes of a faster peer are not slept
    // through.
    {"SlowLineIsCapped", k300_7E2, input(0, 1), 2000000},
    // One character at 921600 baud takes 10.9 µs: the floor applies.
    {"FastLineHasAFloor", k921600_8N1, input(3, 4), 100000},
    // Looks that find no new byte double the sleep, at most three times.
    {"FirstStallDoubles", k921600_8N1, input(3, 4, 1), 200000},
    {"ThirdStallIsTheLongestBackoff", k921600_8N1, input(3, 4, 3), 800000},
    {"BackoffStopsGrowing", k921600_8N1, input(3, 4, 9), 800000},
    {"BackoffIsCappedToo", k9600_8N1, input(24, 25, 1), 2000000},
    // A wait that has all it wants (a count raced past) sleeps one character.
    {"NothingMissingSleepsOneCharacter", k9600_8N1, input(30, 25), 1041666},
    {"AllThereSleepsOneCharacter", k9600_8N1, input(25, 25), 1041666},
    // Output: the time the queued characters need to go out.
    {"OutputQueuedDrainsAtLineTime", k115200_8N1, output(8), 694444},
    {"OutputOfUnknownSizeSleepsOneCharacter", k9600_8N1, output(0), 1041666},
    {"LongOutputIsCapped", k9600_8N1, output(50), 2000000},
    // The output wait does not back off: it knows how much is left.
    {"OutputIgnoresStalls", k115200_8N1, [] { PortWait w = output(8); w.stalls = 3; return w; }(), 694444},
};

class SleepTest : public ::testing::TestWithParam<SleepCase> {};

TEST_P(SleepTest, IsTheLineTimeOfWhatIsMissing) {
    const SleepCase& c = GetParam();
    EXPECT_EQ(stepSleep(c.line, c.wait), c.sleep);
}

INSTANTIATE_TEST_SUITE_P(Policy, SleepTest, ::testing::ValuesIn(kSleepCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BlockLimitTest, EndsAtTheStartOfTheTickBeforeTheLastLook) {
    struct Case {
        std::uint32_t budgetMs;
        Nanos intoMs;
        Nanos limit;
    };
    const Case cases[] = {
        {0xFFFFFFFFU, 500000, 1000000000},
        {0, 0, 100000},
        {1, 0, 100000},
        {2, 0, 1000000},
        {10, 300000, 9000000 - 300000},
        {1000, 999999, 999000000 - 999999},
        // Late in a tick, two ticks before the last look: the floor.
        {2, 950000, 100000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.budgetMs << " ms, " << c.intoMs << " ns into the tick");
        EXPECT_EQ(blockLimit(c.budgetMs, c.intoMs), c.limit);
    }
}

TEST(SpinTest, CoversAnAnswerTheLongestSpinCanAndHalvesForLaterOnes) {
    struct Case {
        const char* name;
        Nanos spin;
        Nanos took;  // < 0: no answer
        Nanos next;
    };
    const Case cases[] = {
        {"AnswerWithinTheSpinKeepsIt", 40000, 10000, 40000},
        {"AnswerJustPastTheSpinGrowsItByHalfAgain", 20000, 30000, 45000},
        {"LongestSpinJustCoversIt", 40000, 53333, 79999},
        {"LongestSpinStaysWhileAnswersComeWithinIt", 80000, 10000, 80000},
        {"AnswerTheLongestSpinMissesHalvesIt", 40000, 53334, 20000},
        {"SlowPeerHalvesIt", 40000, 5000000, 20000},
        {"NeverBelowTheShortest", 5000, 5000000, 4000},
        {"NoAnswerHalvesIt", 80000, -1, 40000},
        {"NoAnswerStopsAtTheShortest", 6000, -1, 4000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.took < 0 ? spinAfterSilence(c.spin) : spinAfterAnswer(c.spin, c.took), c.next);
    }
}

}  // namespace
