// Fuzzes the command builder through MuxSendComm. The fuzzer's bytes give
// the 18 integer arguments (4 bytes each, little-endian), one byte of host
// behaviour, and the raw payload. A call either writes exactly one
// well-formed frame, decoded back here and compared with the arguments, or
// returns -1 and touches the port not at all.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fake_host/host_fake.h"
#include "fuzz_support.h"
#include "kavrol32/kavrol32.h"
#include "protocol/frame.h"

namespace {

using kavrol::fuzz::check;
using kavrol::host::FakeHost;

constexpr std::uint32_t kTimeoutMs = 3;
void* const kPort = reinterpret_cast<void*>(static_cast<std::intptr_t>(0x52));

struct Args {
    std::uint32_t routeCount, command, subCommand;
    std::uint32_t route[9];
    std::uint32_t itemCount;
    std::uint32_t word[4];
    std::uint32_t muxMode;
};

std::uint8_t Low8(std::uint32_t v) { return static_cast<std::uint8_t>(v & 0xFF); }

// The payload the frame must carry.
unsigned payloadOf(const Args& a, const std::uint8_t* raw, std::uint8_t* out) {
    const std::uint8_t cmd = Low8(a.command);
    const std::uint8_t items = Low8(a.itemCount);
    if (cmd == 8 || cmd == 11) {
        if (items != 0) std::memcpy(out, raw, items);
        return items;
    }
    if (items > 4) return 0;
    for (unsigned i = 0; i < items; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(a.word[i] & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>((a.word[i] >> 8) & 0xFF);
    }
    return 2U * items;
}

// Checks a direct-style frame f (start byte included) of payload P.
void checkInner(const std::uint8_t* f, const Args& a, const std::uint8_t* payload, unsigned p) {
    check(f[0] == kavrol::protocol::kDirectStart, "inner start byte");
    check(f[1] == 5 + p, "inner last index");
    check(f[2] == Low8(a.command), "command byte");
    check(f[3] == Low8(a.subCommand), "sub-command byte");
    check(kavrol::fuzz::referenceVerify(f, f[1]), "inner two-byte checksum");
    check(p == 0 || std::memcmp(f + 6, payload, p) == 0, "payload bytes");
}

void checkSent(const std::uint8_t* w, std::size_t len, const Args& a, const std::uint8_t* payload, unsigned p) {
    std::uint8_t f[64] = {};
    if (Low8(a.muxMode) != 1) {
        check(len == 5 + p, "direct frame length");
        f[0] = kavrol::protocol::kDirectStart;  // sent without its start byte, which the checksum counts
        std::memcpy(f + 1, w, len);
        checkInner(f, a, payload, p);
        return;
    }
    const unsigned n = Low8(a.routeCount);
    check(len == 10 + n + p, "multiplexed frame length");
    std::memcpy(f, w, len);
    check(f[0] == kavrol::protocol::kEnvelopeStart, "envelope start byte");
    check(f[1] == len - 1, "envelope last index");
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < len; ++i) x ^= f[i];
    check(x == 0, "one-byte envelope checksum");
    check(f[3] == n, "route count");
    for (unsigned i = 0; i < n; ++i) check(f[4 + i] == Low8(a.route[i]), "route byte");
    checkInner(f + 4 + n, a, payload, p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kavrol::fuzz::Input in(data, size);
    Args a{};
    a.routeCount = in.Word32();
    a.command = in.Word32();
    a.subCommand = in.Word32();
    for (auto& r : a.route) r = in.Word32();
    a.itemCount = in.Word32();
    for (auto& w : a.word) w = in.Word32();
    a.muxMode = in.Word32();
    const std::uint8_t hostFlags = in.Byte();

    // The raw payload is exactly itemCount bytes long (zero-padded from the
    // input), so reading past it is caught; the word commands get null.
    const std::uint8_t cmd = Low8(a.command);
    const bool raw = cmd == 8 || cmd == 11;
    const std::size_t items = Low8(a.itemCount);
    std::unique_ptr<std::uint8_t[]> rawData;
    if (raw) {
        rawData.reset(new std::uint8_t[items == 0 ? 1 : items]());
        std::memcpy(rawData.get(), in.Rest(), std::min(items, in.restSize()));
    }

    FakeHost* const fake = &kavrol::fuzz::freshFakeHost(kPort, kTimeoutMs);
    kavrol::host::ScopedHost scoped(*fake);
    fake->outStuck = (hostFlags & 1) != 0;

    const std::int32_t got =
        MuxSendComm(a.routeCount, a.command, a.subCommand, a.route[0], a.route[1], a.route[2], a.route[3], a.route[4],
                    a.route[5], a.route[6], a.route[7], a.route[8], a.itemCount, a.word[0], a.word[1], a.word[2],
                    a.word[3], a.muxMode, raw ? rawData.get() : nullptr);

    std::uint8_t payload[256];
    const unsigned p = payloadOf(a, rawData.get(), payload);
    const bool mux = Low8(a.muxMode) == 1;
    const unsigned n = Low8(a.routeCount);
    const bool fits = mux ? (n <= 9 && 10 + n + p <= 50) : (6 + p <= 50);

    if (!fits) {
        check(got == -1, "a frame that does not fit must be rejected with -1");
        check(fake->written().empty(), "a rejected call wrote bytes");
        check(fake->count(FakeHost::Call::Write) == 0 && fake->count(FakeHost::Call::Purge) == 0,
              "a rejected call touched the port");
        return 0;
    }
    check(got == (fake->outStuck ? -2 : 1), "result of a sent frame");
    check(fake->count(FakeHost::Call::Write) == 1, "exactly one write");
    const auto w = fake->written();
    checkSent(w.data(), w.size(), a, payload, p);
    return 0;
}
