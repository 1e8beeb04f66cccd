// The byte counts every round-trip benchmark uses, so that each library
// moves the same bytes over the pty: an 8-byte request and a reply of
// 5 + 2N bytes (what a holding-register read of N registers returns).
#pragma once

#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

namespace kavrol::bench {

inline constexpr std::size_t kRequestBytes = 8;
inline constexpr std::int64_t kReplySizes[] = {7, 15, 31, 63, 127, 191, 251};

inline int registersForReply(std::int64_t replyBytes) { return static_cast<int>((replyBytes - 5) / 2); }

inline void replySizeArgs(benchmark::internal::Benchmark* b) {
    for (std::int64_t r : kReplySizes) b->Arg(r);
    b->UseRealTime();
}

// Per-transaction counters: transactions/s and the bytes moved.
inline void setTransactionCounters(benchmark::State& state, std::int64_t replyBytes) {
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (static_cast<std::int64_t>(kRequestBytes) + replyBytes));
    state.counters["reply_bytes"] = static_cast<double>(replyBytes);
}

}  // namespace kavrol::bench
