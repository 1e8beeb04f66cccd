#include "common/fault_plan.h"

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

ReplyPlan planReply(const Bytes& frame, std::span<const FaultSpec> faults, std::uint64_t seed, std::uint64_t seq) {
    // The values each kind takes, when it fires (the first firing one of a kind counts).
    struct Fired {
        bool on = false;
        std::uint32_t value = 0;
        std::size_t index = 0;  // position in the fault list
        std::uint64_t bits = 0; // the fault's value draw
    };
    Fired fired[std::size(kAllFaultKinds)];
    for (std::size_t i = 0; i < faults.size(); ++i) {
        const FaultSpec& f = faults[i];
        if (faultDraw(seed, seq, 3 * i) >= f.probability) continue;
        Fired& slot = fired[static_cast<std::size_t>(f.kind)];
        if (slot.on) continue;
        const std::uint64_t bits = faultBits(seed, seq, 3 * i + 1);
        slot.on = true;
        slot.index = i;
        slot.bits = bits;
        switch (f.kind) {
            case FaultKind::Delay: slot.value = f.value.value_or(kDefaultDelayMs); break;
            case FaultKind::Truncate: slot.value = f.value.value_or(0); break;  // drawn below, by frame size
            case FaultKind::DeviceError: slot.value = valueFor(f, bits, 247, 255); break;
            case FaultKind::Noise: slot.value = valueFor(f, bits, 1, kMaxDrawnNoise); break;
            case FaultKind::Oversize: slot.value = valueFor(f, bits, 251, 255); break;
            case FaultKind::NoReply:
            case FaultKind::BadChecksum: break;
        }
    }
    auto on = [&](FaultKind k) -> Fired& { return fired[static_cast<std::size_t>(k)]; };

    ReplyPlan plan;
    Bytes b = frame;
    auto record = [&](FaultKind k, std::uint32_t value) { plan.applied.push_back({k, value}); };

    if (on(FaultKind::DeviceError).on && b.size() >= 6) {
        b[2] = static_cast<std::uint8_t>(on(FaultKind::DeviceError).value);
        b[4] = b[5] = 0;
        const TwoByteChecksum sum = twoByteChecksum(b);
        b[4] = sum.odd;
        b[5] = sum.even;
        record(FaultKind::DeviceError, b[2]);
    }
    if (on(FaultKind::BadChecksum).on && b.size() >= 6) {
        b[5] ^= 0x5A;
        record(FaultKind::BadChecksum, 0);
    }
    if (on(FaultKind::Oversize).on && b.size() >= 2) {
        b[1] = static_cast<std::uint8_t>(on(FaultKind::Oversize).value);
        record(FaultKind::Oversize, b[1]);
    }
    if (on(FaultKind::Truncate).on && b.size() >= 2) {
        // Keeps 1 .. size - 1 bytes: a fixed count is clipped, a drawn one spreads over the range.
        const auto longest = static_cast<std::uint32_t>(b.size() - 1);
        const Fired& t = on(FaultKind::Truncate);
        const std::uint32_t keep = t.value != 0 ? std::min(t.value, longest)
                                                : 1 + static_cast<std::uint32_t>(t.bits % longest);
        b.resize(keep);
        record(FaultKind::Truncate, keep);
    }
    if (on(FaultKind::Noise).on) {
        // Noise byte k comes from the fault's third slot, widened by k.
        const std::uint32_t count = on(FaultKind::Noise).value;
        const std::uint64_t slot = 3 * on(FaultKind::Noise).index + 2;
        Bytes noise(count);
        for (std::uint32_t k = 0; k < count; ++k) {
            noise[k] = static_cast<std::uint8_t>(faultBits(seed, seq, slot | static_cast<std::uint64_t>(k) << 40));
        }
        b.insert(b.begin(), noise.begin(), noise.end());
        record(FaultKind::Noise, count);
    }
    if (on(FaultKind::NoReply).on) {
        b.clear();
        record(FaultKind::NoReply, 0);
    }
    if (on(FaultKind::Delay).on) {
        plan.delayMs = on(FaultKind::Delay).value;
        record(FaultKind::Delay, plan.delayMs);
    }
    plan.bytes = std::move(b);
    plan.expected = judgeReply(plan.bytes);
    return plan;
}

ReplyVerdict clientVerdict(const ReplyPlan& plan, bool abandoned, std::uint32_t clientTimeoutMs) {
    if (abandoned) return {-2, "reply abandoned"};
    if (plan.delayMs > 0 && plan.delayMs >= clientTimeoutMs && !plan.bytes.empty()) {
        return {-2, "reply delayed " + std::to_string(plan.delayMs) + " ms, past the client's time-out of " +
                        std::to_string(clientTimeoutMs) + " ms"};
    }
    return plan.expected;
}

}  // namespace kavrol::tools
