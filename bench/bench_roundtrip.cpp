// Round trip over a raw-mode pty pair against an echo-style peer thread:
// one MuxSendComm + MuxReceiveComm, and in the same run two floors between
// the same two ends: a plain write of the same 8 request bytes and a
// blocking read of the same reply bytes, and the same write followed by a
// busy wait on the input count (the way the library waits) and one read.
// Real time per transaction; the CPU time is the client thread's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "decode_cases.h"
#include "kavrol32/kavrol32.h"
#include "pty_link.h"
#include "round_trip_sizes.h"

namespace {

using namespace kavrol::bench;

// Command 8, sub-command 1, raw bytes "ABC": 8 bytes as sent.
const std::uint8_t kRaw[] = {0x41, 0x42, 0x43};

std::int32_t SendRequest() { return MuxSendComm(0, 8, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, kRaw); }

// Reply code 9 (model 0 copies the whole payload) of the given total size.
std::vector<std::uint8_t> KavrolReply(std::int64_t replyBytes) {
    return replyFrame(9, 0, Filler(static_cast<std::size_t>(replyBytes - 6), 9));
}

// The floor: the same bytes between the same two ends without the library.
// With spin, the reply is awaited by polling the input count, as the
// library waits; without, by a blocking read.
template <bool kSpin>
void BM_RawFloor(benchmark::State& state) {
    const std::int64_t replyBytes = state.range(0);
    PtyPair link;
    EchoPeer peer(link, kRequestBytes, KavrolReply(replyBytes));
    const std::vector<std::uint8_t> request(kRequestBytes, 0x41);
    std::vector<std::uint8_t> reply(static_cast<std::size_t>(replyBytes));
    for (auto _ : state) {
        if (!writeWhole(link.port(), request.data(), request.size()) ||
            (kSpin && !spinUntilQueued(link.port(), reply.size())) ||
            !readWhole(link.port(), reply.data(), reply.size())) {
            state.SkipWithError("raw transfer failed");
            break;
        }
        benchmark::DoNotOptimize(reply.data());
    }
    setTransactionCounters(state, replyBytes);
}

void BM_Kavrol(benchmark::State& state) {
    const std::int64_t replyBytes = state.range(0);
    PtyPair link;
    EchoPeer peer(link, kRequestBytes, KavrolReply(replyBytes));
    Init_Msg_Bin(0, reinterpret_cast<void*>(static_cast<std::intptr_t>(link.port())), 1000);
    std::vector<std::uint8_t> buffer(KAVROL_REPLY_BUFFER_SIZE);
    ReplyRecord record{};
    for (auto _ : state) {
        if (SendRequest() != 1 || MuxReceiveComm(0, buffer.data(), &record) != 1) {
            state.SkipWithError("transaction failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    Init_Msg_Bin(0, nullptr, 0);
    setTransactionCounters(state, replyBytes);
}

}  // namespace

BENCHMARK(BM_RawFloor<false>)->Name("roundtrip/raw")->Apply(replySizeArgs);
BENCHMARK(BM_RawFloor<true>)->Name("roundtrip/raw_spin")->Apply(replySizeArgs);
BENCHMARK(BM_Kavrol)->Name("roundtrip/kavrol")->Apply(replySizeArgs);

BENCHMARK_MAIN();
