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
    {"OutputIgnoresStalls", k115200_8N1,
     [] {
         PortWait w = output(8);
         w.stalls = 3;
         return w;
     }(),
     694444},
    // Past three stalls the cap itself doubles per stall, up to 16 ms: a
    // peer that stopped mid-reply is looked at a few dozen times a second.
    {"LongStallLetsTheCapGrow", k9600_8N1, input(24, 25, 5), 8000000},
    {"LongestStallSleep", k9600_8N1, input(2, 25, 12), 16000000},
    {"FastLineStallStaysAtItsBackoff", k921600_8N1, input(3, 4, 12), 800000},
    {"HeldOutputWakesLessOften", k9600_8N1,
     [] {
         PortWait w = output(50);
         w.stalls = 9;
         return w;
     }(),
     16000000},
};

TEST(IdleSleepTest, DoublesFromTheShortestSleepUpToTheLongestStallSleep) {
    const Nanos expected[] = {100000, 200000, 400000, 800000, 1600000, 3200000, 6400000, 12800000, 16000000, 16000000};
    for (std::uint32_t stalls = 0; stalls < 10; ++stalls) {
        SCOPED_TRACE(stalls);
        EXPECT_EQ(idleSleep(stalls), expected[stalls]);
    }
    EXPECT_EQ(idleSleep(0xFFFFFFFFU), 16000000);
}

class SleepTest : public ::testing::TestWithParam<SleepCase> {};

TEST_P(SleepTest, IsTheLineTimeOfWhatIsMissing) {
    const SleepCase& c = GetParam();
    EXPECT_EQ(stepSleep(c.line, c.wait), c.sleep);
}

INSTANTIATE_TEST_SUITE_P(Policy, SleepTest, ::testing::ValuesIn(kSleepCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

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

TEST(SpinTest, OneFirstWaitMovesTheSpinByItsEnd) {
    struct Case {
        const char* name;
        SpinState before;
        FirstWait end;
        Nanos took;
        SpinState after;
    };
    const Case cases[] = {
        {"CaughtWithinTheSpinKeepsIt", {40000, 3}, FirstWait::CaughtSpinning, 10000, {40000, 4}},
        {"CaughtLateInTheSpinGrowsItByHalfAgain", {40000, 0}, FirstWait::CaughtSpinning, 30000, {45000, 1}},
        // Caught spinning never shrinks the spin, however long it looked.
        {"CaughtNearTheLongestIsTheLongest", {80000, 0}, FirstWait::CaughtSpinning, 60000, {80000, 1}},
        {"CaughtByAProbeCoversItAndRestartsTheCount",
         {4000, kProbeEvery},
         FirstWait::CaughtSpinning,
         20000,
         {30000, 0}},
        {"CaughtSpinningClearsTheMarks",
         {20000, kProbeEvery, true, true},
         FirstWait::CaughtSpinning,
         30000,
         {45000, 0, false, false}},
        // Caught while blocked soon after the spin: probe, keep the length.
        {"CaughtBlockedSoonAsksForAProbe",
         {4000, 5},
         FirstWait::CaughtBlocked,
         90000,
         {4000, kProbeEvery, false, true}},
        {"CaughtBlockedAtTheNearLimitAsksForAProbe",
         {8000, 0},
         FirstWait::CaughtBlocked,
         320000,
         {8000, kProbeEvery, false, true}},
        // One slow answer keeps the spin; a second in a row halves it.
        {"FirstSlowAnswerKeepsIt", {40000, 5}, FirstWait::CaughtBlocked, 320001, {40000, 6, false, true}},
        {"SecondSlowAnswerHalves", {40000, 5, false, true}, FirstWait::CaughtBlocked, 320001, {20000, 6, false, true}},
        {"ProbeThatMissedHalvesAndStopsNearProbes",
         {40000, kProbeEvery},
         FirstWait::CaughtBlocked,
         90000,
         {20000, 0, true, true}},
        {"NearAnswerAfterAMissedProbeCountsAsSlow",
         {20000, 3, true, true},
         FirstWait::CaughtBlocked,
         90000,
         {10000, 4, true, true}},
        {"SlowPeerNeverBelowTheShortest",
         {5000, 0, false, true},
         FirstWait::CaughtBlocked,
         5000000,
         {4000, 1, false, true}},
        {"FirstUnansweredKeepsIt", {80000, 0}, FirstWait::Unanswered, 0, {80000, 1, false, true}},
        {"UnansweredAgainHalves", {80000, 0, false, true}, FirstWait::Unanswered, 0, {40000, 1, false, true}},
        {"UnansweredProbeHalvesWithoutTheMark", {6000, kProbeEvery}, FirstWait::Unanswered, 0, {4000, 0, false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SpinState next = spinAfter(c.before, c.end, c.took);
        EXPECT_EQ(next.length, c.after.length);
        EXPECT_EQ(next.sinceProbe, c.after.sinceProbe);
        EXPECT_EQ(next.probeMissed, c.after.probeMissed);
        EXPECT_EQ(next.missedLast, c.after.missedLast);
    }
    EXPECT_EQ(spinLength(SpinState{4000, kProbeEvery - 1}), 4000);
    EXPECT_EQ(spinLength(SpinState{4000, kProbeEvery}), kSpinLongest);
}

// A run of first waits against a peer model: the answer comes `answerAt`
// after the request; one the spin misses is seen `wakeLatency` after it
// came (the block's wake-up). Returns how many of the last `tail` waits
// caught their answer spinning, and the mean spin time paid per wait.
struct SpinRun {
    int caughtInTail = 0;
    Nanos meanSpin = 0;
};

template <typename AnswerAt>
SpinRun runFirstWaits(SpinState state, int waits, int tail, Nanos wakeLatency, AnswerAt answerAt) {
    SpinRun run;
    Nanos spent = 0;
    for (int i = 0; i < waits; ++i) {
        const Nanos spin = spinLength(state);
        const Nanos answer = answerAt(i);
        const bool caught = answer <= spin;
        spent += caught ? answer : spin;
        if (caught && i >= waits - tail) ++run.caughtInTail;
        state = spinAfter(state, caught ? FirstWait::CaughtSpinning : FirstWait::CaughtBlocked,
                          caught ? answer : answer + wakeLatency);
    }
    run.meanSpin = spent / waits;
    return run;
}

TEST(SpinTest, AnInstantPeerIsCaughtSpinningAfterAnySlowAnswer) {
    constexpr Nanos kInstant = 20000;
    struct Case {
        const char* name;
        SpinState start;
        Nanos wakeLatency;
        int slowEvery;  // every n-th answer takes 5 ms (0: none)
    };
    const Case cases[] = {
        {"FromTheStartingSpin", SpinState{}, 70000, 0},
        {"FromTheShortestSpin", SpinState{kSpinShortest, 0}, 70000, 0},
        {"AfterSlowAnswersNowAndThen", SpinState{}, 70000, 50},
        // Wake-ups slower than the near limit: only the regular probe helps.
        {"FromTheShortestSpinWithSlowWakeups", SpinState{kSpinShortest, 0}, 400000, 0},
        {"AfterSlowAnswersWithSlowWakeups", SpinState{}, 400000, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SpinRun run = runFirstWaits(c.start, 400, 100, c.wakeLatency, [&](int i) {
            return c.slowEvery != 0 && i % c.slowEvery == c.slowEvery - 1 ? 5 * kNanosPerMs : kInstant;
        });
        // Of the last 100 waits, only the slow answers miss.
        const int slow = c.slowEvery != 0 ? 100 / c.slowEvery : 0;
        EXPECT_EQ(run.caughtInTail, 100 - slow);
    }
}

TEST(SpinTest, ASlowPeerCostsLittleSpinning) {
    struct Case {
        const char* name;
        Nanos answer;
    };
    const Case cases[] = {{"FiveMillisecondAnswer", 5 * kNanosPerMs}, {"AnswerJustPastTheLongestSpin", 200000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SpinRun run = runFirstWaits(SpinState{}, 640, 100, 70000, [&](int) { return c.answer; });
        EXPECT_EQ(run.caughtInTail, 0);
        // The shortest spin, the probe every kProbeEvery waits, and the
        // probe that a near answer asks for: about 9 us per wait.
        EXPECT_LE(run.meanSpin, 12000);
    }
}

}  // namespace
