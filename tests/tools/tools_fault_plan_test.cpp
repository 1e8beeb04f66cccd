// Fault injection: what each fault does to a reply, and that the schedule
// is a pure function of seed and sequence number.
#include <gtest/gtest.h>

#include <set>

#include "simulator/fault_plan.h"

namespace kavrol::tools {
namespace {

const Bytes kFrame = replyFrame(1, 0, Bytes{0x2A, 0x07, 0xE8, 0x03, 0x10, 0x27});

FaultSpec always(FaultKind kind, std::optional<std::uint32_t> value = std::nullopt) { return {kind, 1.0, value}; }

TEST(ToolsFaultPlan, EachFaultGivesTheStatusAHostReads) {
    struct Case {
        FaultSpec fault;
        std::int32_t status;
        std::size_t bytesSent;
    };
    const Case cases[] = {
        {always(FaultKind::Delay, 50), 1, 12},         {always(FaultKind::NoReply), -2, 0},
        {always(FaultKind::Truncate, 5), -2, 5},       {always(FaultKind::Truncate, 1), -2, 1},
        {always(FaultKind::BadChecksum), -3, 12},      {always(FaultKind::DeviceError, 247), -12, 12},
        {always(FaultKind::DeviceError, 255), -4, 12}, {always(FaultKind::Oversize, 251), -3, 12},
    };
    for (const Case& c : cases) {
        const ReplyPlan p = planReply(kFrame, std::span(&c.fault, 1), 1, 1);
        EXPECT_EQ(p.expected.status, c.status) << faultName(c.fault.kind);
        EXPECT_EQ(p.bytes.size(), c.bytesSent) << faultName(c.fault.kind);
        ASSERT_EQ(p.applied.size(), 1U);
        EXPECT_EQ(p.applied[0].kind, c.fault.kind);
    }
    const FaultSpec delay = always(FaultKind::Delay, 50);
    EXPECT_EQ(planReply(kFrame, std::span(&delay, 1), 1, 1).delayMs, 50U);
}

TEST(ToolsFaultPlan, DeviceErrorKeepsTheFrameValidAndNoiseGoesFirst) {
    const FaultSpec error = always(FaultKind::DeviceError, 250);
    const ReplyPlan p = planReply(kFrame, std::span(&error, 1), 1, 1);
    EXPECT_EQ(p.bytes[2], 250);
    EXPECT_TRUE(twoByteChecksumMatches(p.bytes));

    const FaultSpec noise = always(FaultKind::Noise, 4);
    const ReplyPlan n = planReply(kFrame, std::span(&noise, 1), 1, 1);
    ASSERT_EQ(n.bytes.size(), kFrame.size() + 4);
    EXPECT_TRUE(std::equal(kFrame.begin(), kFrame.end(), n.bytes.begin() + 4));
    EXPECT_EQ(n.expected.status, judgeReply(n.bytes).status);
}

TEST(ToolsFaultPlan, DrawnTruncationKeepsPartOfTheFrame) {
    const FaultSpec cut = always(FaultKind::Truncate);
    std::set<std::size_t> lengths;
    for (std::uint64_t seq = 1; seq <= 200; ++seq) {
        const ReplyPlan p = planReply(kFrame, std::span(&cut, 1), 5, seq);
        ASSERT_GE(p.bytes.size(), 1U);
        ASSERT_LT(p.bytes.size(), kFrame.size());
        lengths.insert(p.bytes.size());
    }
    EXPECT_EQ(lengths.size(), kFrame.size() - 1);
}

TEST(ToolsFaultPlan, ScheduleDependsOnlyOnSeedAndSequence) {
    const FaultSpec faults[] = {{FaultKind::NoReply, 0.2, std::nullopt},
                                {FaultKind::BadChecksum, 0.2, std::nullopt},
                                {FaultKind::Noise, 0.2, std::nullopt}};
    auto schedule = [&](std::uint64_t seed, std::uint64_t from, std::uint64_t to) {
        std::vector<std::int32_t> s;
        for (std::uint64_t seq = from; seq <= to; ++seq)
            s.push_back(planReply(kFrame, faults, seed, seq).expected.status);
        return s;
    };
    const auto a = schedule(7, 1, 1000);
    EXPECT_EQ(a, schedule(7, 1, 1000));
    EXPECT_NE(a, schedule(8, 1, 1000));
    // Command 600 gets the same outcome whether or not 1..599 were planned.
    EXPECT_EQ(schedule(7, 600, 600)[0], a[599]);

    // About 20 % of replies lose their reply; 1000 draws stay well within 15..25 %.
    const FaultSpec only = {FaultKind::NoReply, 0.2, std::nullopt};
    int silent = 0;
    for (std::uint64_t seq = 1; seq <= 1000; ++seq)
        silent += planReply(kFrame, std::span(&only, 1), 7, seq).bytes.empty();
    EXPECT_GT(silent, 150);
    EXPECT_LT(silent, 250);
}

TEST(ToolsFaultPlan, ProbabilityZeroNeverFires) {
    const FaultSpec never = {FaultKind::NoReply, 0.0, std::nullopt};
    for (std::uint64_t seq = 1; seq <= 500; ++seq) {
        EXPECT_TRUE(planReply(kFrame, std::span(&never, 1), 3, seq).applied.empty());
    }
}

TEST(ToolsFaultPlan, ClientVerdictCountsLateAndAbandonedRepliesAsTimeOuts) {
    struct Case {
        std::vector<FaultSpec> faults;
        bool abandoned;
        std::uint32_t clientTimeoutMs;
        std::int32_t status;
    };
    const Case cases[] = {
        {{always(FaultKind::Delay, 100)}, false, 1000, 1},
        {{always(FaultKind::Delay, 999)}, false, 1000, 1},
        {{always(FaultKind::Delay, 1000)}, false, 1000, -2},
        {{always(FaultKind::Delay, 1500)}, false, 1000, -2},
        {{always(FaultKind::Delay, 100)}, true, 1000, -2},
        {{always(FaultKind::Delay, 1500), always(FaultKind::BadChecksum)}, false, 1000, -2},
        {{always(FaultKind::Delay, 100), always(FaultKind::BadChecksum)}, false, 1000, -3},
        {{always(FaultKind::DeviceError, 250)}, false, 0, -9},  // no delay: never late
        {{}, false, 1000, 1},
    };
    for (const Case& c : cases) {
        const ReplyPlan p = planReply(kFrame, c.faults, 1, 1);
        const ReplyVerdict v = clientVerdict(p, c.abandoned, c.clientTimeoutMs);
        EXPECT_EQ(v.status, c.status) << "delay " << p.delayMs << ", abandoned " << c.abandoned << ", time-out "
                                      << c.clientTimeoutMs;
        EXPECT_FALSE(v.detail.empty());
    }
}

}  // namespace
}  // namespace kavrol::tools
