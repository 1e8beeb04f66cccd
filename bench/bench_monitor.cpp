// What kavrol monitor's forwarding adds to a transaction: the same request
// and reply over a raw-mode pty pair to an echo-style peer, once directly
// and once through the monitor's line tap (a second pty pair in front, a
// decoder thread finding the frames as the monitor does). The difference
// of the two real times is the cost of the tap per transaction.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "cli/capture/tap_finder.h"
#include "cli/line_tap.h"
#include "common/wire.h"
#include "decode_cases.h"
#include "pty_link.h"
#include "round_trip_sizes.h"

namespace {

using namespace kavrol;
using namespace kavrol::bench;

std::vector<std::uint8_t> Reply(std::int64_t replyBytes) {
    return tools::replyFrame(9, 0, Filler(static_cast<std::size_t>(replyBytes - 6), 9));
}

// Takes the tap's copies and finds frames in them, as the monitor does
// (without printing).
class Decoder {
public:
    explicit Decoder(cli::LineTap& tap) : tap_(tap), thread_([this] { run(); }) {}
    ~Decoder() {
        stop_.store(true);
        thread_.join();
    }
    std::size_t frames() const { return frames_.load(); }

private:
    void run() {
        tools::TapFinder host(tools::LineDirection::Host);
        tools::TapFinder device(tools::LineDirection::Device);
        while (!stop_.load()) {
            for (const cli::TapChunk& c : tap_.take(10)) {
                tools::TapFinder& f = c.direction == tools::LineDirection::Host ? host : device;
                f.feed(c.bytes, c.timeUs);
                while (f.next(false)) frames_.fetch_add(1);
            }
        }
    }
    cli::LineTap& tap_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> frames_{0};
    std::thread thread_;
};

// A valid direct command of kRequestBytes bytes as sent (command 8, raw "ABC").
const std::vector<std::uint8_t> kRequest = {0x08, 0x08, 0x01, 0x4B, 0x36, 0x41, 0x42, 0x43};

// The benchmark's transactions on the port: kRequest out, the whole reply in.
void transactions(benchmark::State& state, int port, std::int64_t replyBytes) {
    std::vector<std::uint8_t> reply(static_cast<std::size_t>(replyBytes));
    for (auto _ : state) {
        if (!writeWhole(port, kRequest.data(), kRequest.size()) || !readWhole(port, reply.data(), reply.size())) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    setTransactionCounters(state, replyBytes);
}

void BM_Direct(benchmark::State& state) {
    const std::int64_t replyBytes = state.range(0);
    PtyPair link;
    EchoPeer peer(link, kRequestBytes, Reply(replyBytes));
    transactions(state, link.port(), replyBytes);
}

void BM_ThroughMonitorTap(benchmark::State& state) {
    const std::int64_t replyBytes = state.range(0);
    PtyPair deviceLink;
    EchoPeer peer(deviceLink, kRequestBytes, Reply(replyBytes));
    PtyPair appLink;
    cli::LineTap tap(appLink.device(), deviceLink.port(), false, tools::LineSettings{});
    Decoder decoder(tap);
    transactions(state, appLink.port(), replyBytes);
    tap.stop();
}

}  // namespace

BENCHMARK(BM_Direct)->Arg(20)->Arg(251)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ThroughMonitorTap)->Arg(20)->Arg(251)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
