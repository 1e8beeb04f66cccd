// Decode cost of MuxReceiveComm per reply, through the fake host, for the
// largest layout of every model group; in the same run, the floor (a plain
// copy of the same frame bytes) and the transport alone (fake host and the
// two timed reads, no checksum, normalization or record stage).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "decode_steps.h"

namespace {

using kavrol::bench::DecodeCase;
using kavrol::bench::DecodeTarget;

void setCounters(benchmark::State& state, const DecodeCase& c) {
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(c.frame.size()));
    state.counters["frame_bytes"] = static_cast<double>(c.frame.size());
    state.counters["written"] = static_cast<double>(c.written);
    state.SetLabel("group " + c.group);
}

void BM_Copy(benchmark::State& state, const DecodeCase& c) {
    auto t = std::make_unique<DecodeTarget>();
    for (auto _ : state) {
        kavrol::bench::copyStep(c, *t);
        benchmark::DoNotOptimize(t->area);
        benchmark::ClobberMemory();
    }
    setCounters(state, c);
}

template <auto Step>
void BM_ThroughFake(benchmark::State& state, const DecodeCase& c) {
    auto fake = std::make_unique<kavrol::host::FakeHost>();
    kavrol::host::ScopedHost scoped(*fake);
    kavrol::bench::bindFake(*fake);
    auto t = std::make_unique<DecodeTarget>();
    for (auto _ : state) {
        const std::int32_t r = Step(c, *fake, *t);
        if (r != 1) {
            state.SkipWithError("step did not return 1");
            break;
        }
        benchmark::DoNotOptimize(t->buffer);
        benchmark::ClobberMemory();
    }
    setCounters(state, c);
}

}  // namespace

int main(int argc, char** argv) {
    static const auto cases = kavrol::bench::largestLayoutPerGroup();
    for (const DecodeCase& c : cases) {
        const std::string tag = "decode/m" + std::to_string(c.model) + "/c" + std::to_string(c.replyCode) + "/h" +
                                std::to_string(c.header3) + "/";
        benchmark::RegisterBenchmark((tag + "copy").c_str(), BM_Copy, c);
        benchmark::RegisterBenchmark((tag + "transport").c_str(), BM_ThroughFake<kavrol::bench::TransportStep>, c);
        benchmark::RegisterBenchmark((tag + "MuxReceiveComm").c_str(), BM_ThroughFake<kavrol::bench::DecodeStep>, c);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
