// Runs one decode step N times in ProbeLoop, for instruction counts under
// callgrind (--toggle-collect=ProbeLoop): Ir / N is the cost of one reply,
// independent of the machine's load.
//   kavrol_decode_probe copy|transport|decode MODEL REPLY_CODE N
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "decode_steps.h"

namespace {

enum class Step { Copy, Transport, Decode };

__attribute__((noinline)) int ProbeLoop(Step step, const kavrol::bench::DecodeCase& c, kavrol::host::FakeHost& fake,
                                        kavrol::bench::DecodeTarget& t, long n) {
    int failures = 0;
    for (long i = 0; i < n; ++i) {
        switch (step) {
            case Step::Copy:
                kavrol::bench::copyStep(c, t);
                asm volatile("" : : "r"(t.area) : "memory");
                break;
            case Step::Transport: failures += kavrol::bench::TransportStep(c, fake, t) != 1; break;
            case Step::Decode: failures += kavrol::bench::DecodeStep(c, fake, t) != 1; break;
        }
    }
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s copy|transport|decode MODEL REPLY_CODE N\n", argv[0]);
        return 2;
    }
    const Step step = std::strcmp(argv[1], "copy") == 0        ? Step::Copy
                      : std::strcmp(argv[1], "transport") == 0 ? Step::Transport
                                                               : Step::Decode;
    const auto model = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const auto code = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    const long n = std::strtol(argv[4], nullptr, 10);
    for (const auto& c : kavrol::bench::largestLayoutPerGroup()) {
        if (c.model != model || c.replyCode != code) continue;
        auto fake = std::make_unique<kavrol::host::FakeHost>();
        kavrol::host::ScopedHost scoped(*fake);
        kavrol::bench::bindFake(*fake);
        auto t = std::make_unique<kavrol::bench::DecodeTarget>();
        const int failures = ProbeLoop(step, c, *fake, *t, n);
        std::printf("model %u reply code %u: %d failures\n", c.model, c.replyCode, failures);
        return failures == 0 ? 0 : 1;
    }
    std::fprintf(stderr, "no decode case for model %u, reply code %u\n", model, code);
    return 2;
}
