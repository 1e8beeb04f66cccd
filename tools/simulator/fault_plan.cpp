#include "simulator/fault_plan.h"

#include <algorithm>

namespace kavrol::tools {

namespace {

std::uint64_t splitmix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

constexpr std::uint32_t kDefaultDelayMs = 200;
constexpr unsigned kMaxDrawnNoise = 8;

// A value in lo..hi drawn for one slot, unless the fault fixes it.
std::uint32_t valueFor(const FaultSpec& f, std::uint64_t bits, std::uint32_t lo, std::uint32_t hi) {
    if (f.value) return *f.value;
    return lo + static_cast<std::uint32_t>(bits % (hi - lo + 1ULL));
}

}  // namespace

std::uint64_t faultBits(std::uint64_t seed, std::uint64_t seq, std::uint64_t slot) {
    return splitmix(splitmix(splitmix(seed) ^ seq) ^ slot);
}

double faultDraw(std::uint64_t seed, std::uint64_t seq, std::uint64_t slot) {
    return static_cast<double>(faultBits(seed, seq, slot) >> 11) * 0x1.0p-53;
}

namespace {

// The values each kind takes when it fires (the first firing one of a kind counts).
struct Fired {
    bool on = false;
    std::uint32_t value = 0;
    std::size_t index = 0;   // position in the fault list
    std::uint64_t bits = 0;  // the fault's value draw
};

class FiredFaults {
public:
    FiredFaults(std::span<const FaultSpec> faults, std::uint64_t seed, std::uint64_t seq) {
        for (std::size_t i = 0; i < faults.size(); ++i) {
            const FaultSpec& f = faults[i];
            if (faultDraw(seed, seq, 3 * i) >= f.probability) continue;
            Fired& slot = fired_[static_cast<std::size_t>(f.kind)];
            if (slot.on) continue;
            const std::uint64_t bits = faultBits(seed, seq, 3 * i + 1);
            slot = {true, valueOf(f, bits), i, bits};
        }
    }
    const Fired& operator[](FaultKind k) const { return fired_[static_cast<std::size_t>(k)]; }

private:
    static std::uint32_t valueOf(const FaultSpec& f, std::uint64_t bits) {
        switch (f.kind) {
            case FaultKind::Delay: return f.value.value_or(kDefaultDelayMs);
            case FaultKind::Truncate: return f.value.value_or(0);  // drawn by frame size when applied
            case FaultKind::DeviceError: return valueFor(f, bits, 247, 255);
            case FaultKind::Noise: return valueFor(f, bits, 1, kMaxDrawnNoise);
            case FaultKind::Oversize: return valueFor(f, bits, 251, 255);
            case FaultKind::NoReply:
            case FaultKind::BadChecksum: break;
        }
        return 0;
    }
    Fired fired_[std::size(kAllFaultKinds)];
};

void applyDeviceError(Bytes& b, std::uint32_t code) {
    b[kReplyCodeAt] = static_cast<std::uint8_t>(code);
    protocol::fillTwoByteChecksum(b);
}

// Keeps 1 .. size - 1 bytes: a fixed count is clipped, a drawn one spreads over the range.
std::uint32_t truncatedLength(const Fired& t, std::size_t size) {
    const auto longest = static_cast<std::uint32_t>(size - 1);
    return t.value != 0 ? std::min(t.value, longest) : 1 + static_cast<std::uint32_t>(t.bits % longest);
}

// Noise byte k comes from the fault's third slot, widened by k.
Bytes noiseBytes(const Fired& n, std::uint64_t seed, std::uint64_t seq) {
    const std::uint64_t slot = 3 * n.index + 2;
    Bytes noise(n.value);
    for (std::uint32_t k = 0; k < n.value; ++k) {
        noise[k] = static_cast<std::uint8_t>(faultBits(seed, seq, slot | static_cast<std::uint64_t>(k) << 40));
    }
    return noise;
}

}  // namespace

ReplyPlan planReply(const Bytes& frame, std::span<const FaultSpec> faults, std::uint64_t seed, std::uint64_t seq) {
    const FiredFaults on(faults, seed, seq);
    ReplyPlan plan;
    Bytes b = frame;
    auto record = [&](FaultKind k, std::uint32_t value) { plan.applied.push_back({k, value}); };

    if (on[FaultKind::DeviceError].on && b.size() >= kReplyPayloadStart) {
        applyDeviceError(b, on[FaultKind::DeviceError].value);
        record(FaultKind::DeviceError, b[kReplyCodeAt]);
    }
    if (on[FaultKind::BadChecksum].on && b.size() >= kReplyPayloadStart) {
        b[kTwoByteEvenAt] ^= 0x5A;
        record(FaultKind::BadChecksum, 0);
    }
    if (on[FaultKind::Oversize].on && b.size() >= protocol::kReplyHeaderSize) {
        b[1] = static_cast<std::uint8_t>(on[FaultKind::Oversize].value);
        record(FaultKind::Oversize, b[1]);
    }
    if (on[FaultKind::Truncate].on && b.size() >= protocol::kReplyHeaderSize) {
        b.resize(truncatedLength(on[FaultKind::Truncate], b.size()));
        record(FaultKind::Truncate, static_cast<std::uint32_t>(b.size()));
    }
    if (on[FaultKind::Noise].on) {
        const Bytes noise = noiseBytes(on[FaultKind::Noise], seed, seq);
        b.insert(b.begin(), noise.begin(), noise.end());
        record(FaultKind::Noise, on[FaultKind::Noise].value);
    }
    if (on[FaultKind::NoReply].on) {
        b.clear();
        record(FaultKind::NoReply, 0);
    }
    if (on[FaultKind::Delay].on) {
        plan.delayMs = on[FaultKind::Delay].value;
        record(FaultKind::Delay, plan.delayMs);
    }
    plan.bytes = std::move(b);
    plan.expected = judgeReply(plan.bytes);
    return plan;
}

ReplyVerdict clientVerdict(const ReplyPlan& plan, bool abandoned, std::uint32_t clientTimeoutMs) {
    if (abandoned) return {protocol::kTimeout, "reply abandoned"};
    if (plan.delayMs > 0 && plan.delayMs >= clientTimeoutMs && !plan.bytes.empty()) {
        return {protocol::kTimeout, "reply delayed " + std::to_string(plan.delayMs) +
                                        " ms, past the client's time-out of " + std::to_string(clientTimeoutMs) +
                                        " ms"};
    }
    return plan.expected;
}

}  // namespace kavrol::tools
