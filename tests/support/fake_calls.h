// Views of the fake host's call record for order checks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "fake_host/host_fake.h"

namespace kavrol::test {

using FakeCall = host::FakeHost::Call;
using FakeRecord = host::FakeHost::Record;

// Every recorded call except the tick readings, in order.
inline std::vector<FakeRecord> portCalls(const host::FakeHost& fake) {
    std::vector<FakeRecord> calls(std::min(fake.recordCount(), host::FakeHost::kMaxRecords));
    calls.resize(fake.portCalls(calls.data(), calls.size()));
    return calls;
}

// The kinds of the calls portCalls() returns.
inline std::vector<FakeCall> portCallKinds(const host::FakeHost& fake) {
    std::vector<FakeCall> kinds;
    for (const FakeRecord& r : portCalls(fake)) kinds.push_back(r.call);
    return kinds;
}

// The last tick value the fake handed out.
inline std::uint32_t lastTick(const host::FakeHost& fake) {
    const std::size_t n = std::min(fake.recordCount(), host::FakeHost::kMaxRecords);
    for (std::size_t i = n; i > 0; --i) {
        if (fake.record(i - 1).call == FakeCall::Tick) return fake.record(i - 1).arg;
    }
    return 0;
}

// How every send starts: both purges (transmit, then receive), then one
// write of `bytes` bytes with the port's own overlapped structure; then only
// queue queries follow. Checked by gtest assertions in the caller's test.
inline void expectPurgesThenOneWrite(const std::vector<FakeRecord>& calls, std::size_t bytes, const void* overlapped) {
    ASSERT_GE(calls.size(), 3U);
    EXPECT_EQ(calls[0].call, FakeCall::Purge);
    EXPECT_EQ(calls[0].arg, 10U);
    EXPECT_EQ(calls[1].call, FakeCall::Purge);
    EXPECT_EQ(calls[1].arg, 5U);
    EXPECT_EQ(calls[2].call, FakeCall::Write);
    EXPECT_EQ(calls[2].arg, bytes);
    EXPECT_EQ(calls[2].overlapped, overlapped);
    for (std::size_t i = 3; i < calls.size(); ++i) EXPECT_EQ(calls[i].call, FakeCall::Query) << "call " << i;
}

inline std::vector<std::uint8_t> bytesOf(std::basic_string_view<std::uint8_t> view) {
    return {view.begin(), view.end()};
}

}  // namespace kavrol::test
