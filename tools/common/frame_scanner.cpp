#include "common/frame_scanner.h"

namespace kavrol::tools {

void FrameScanner::feed(std::span<const std::uint8_t> bytes) { buffer_.insert(buffer_.end(), bytes.begin(), bytes.end()); }

FrameScanner::Attempt FrameScanner::tryDirect() const {
    Attempt a;
    const unsigned last = buffer_[0];
    if (last < kMinFrameIndex || last > kMaxCommandIndex) {
        a.reason = "byte " + hexByte(buffer_[0]) + " begins no frame";
        return a;
    }
    a.length = last;
    if (buffer_.size() < a.length) {
        a.outcome = Outcome::Incomplete;
        a.reason = "direct frame of " + std::to_string(last) + " bytes broke off";
        return a;
    }
    // Put the start byte back: the checksum counts it.
    Bytes f{kDirectStart};
    f.insert(f.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(a.length));
    if (!twoByteChecksumMatches(f)) {
        a.reason = "direct frame checksum mismatch";
        return a;
    }
    a.outcome = Outcome::Valid;
    a.command.command = f[2];
    a.command.subCommand = f[3];
    a.command.payload.assign(f.begin() + 6, f.end());
    return a;
}

FrameScanner::Attempt FrameScanner::tryEnvelope() const {
    Attempt a;
    if (buffer_.size() < 2) {
        a.outcome = Outcome::Incomplete;
        a.reason = "multiplexed frame broke off after its start byte";
        return a;
    }
    const unsigned last = buffer_[1];
    if (last < kMinEnvelopeIndex || last > kMaxCommandIndex) {
        a.reason = "multiplexed frame with impossible last index " + std::to_string(last);
        return a;
    }
    a.length = last + 1U;
    if (buffer_.size() < a.length) {
        a.outcome = Outcome::Incomplete;
        a.reason = "multiplexed frame of " + std::to_string(a.length) + " bytes broke off";
        return a;
    }
    const std::span<const std::uint8_t> f(buffer_.data(), a.length);
    if (oneByteChecksum(f) != f[2]) {
        a.reason = "envelope checksum mismatch";
        return a;
    }
    const unsigned n = f[3];
    if (n > kMaxRoute || 4 + n + kMinFrameIndex > last) {
        a.reason = "route count " + std::to_string(n) + " does not fit the envelope";
        return a;
    }
    const auto inner = f.subspan(4 + n);
    if (inner[0] != kDirectStart) {
        a.reason = "inner frame starts with " + hexByte(inner[0]) + ", not 3C";
        return a;
    }
    if (inner[1] + 1U != inner.size()) {
        a.reason = "inner length " + std::to_string(inner[1]) + " does not match the envelope";
        return a;
    }
    if (!twoByteChecksumMatches(inner)) {
        a.reason = "inner frame checksum mismatch";
        return a;
    }
    a.outcome = Outcome::Valid;
    a.command.multiplexed = true;
    a.command.route.assign(f.begin() + 4, f.begin() + 4 + n);
    a.command.command = inner[2];
    a.command.subCommand = inner[3];
    a.command.payload.assign(inner.begin() + 6, inner.end());
    return a;
}

std::optional<ScanResult> FrameScanner::takeDropped() {
    if (dropped_.empty()) return std::nullopt;
    ScanResult r;
    r.kind = ScanResult::Kind::Dropped;
    r.bytes = std::move(dropped_);
    r.reason = std::move(droppedReason_);
    dropped_.clear();
    droppedReason_.clear();
    return r;
}

std::optional<ScanResult> FrameScanner::next(bool gapExpired) {
    while (!buffer_.empty()) {
        Attempt attempts[2];
        unsigned count = 0;
        if (buffer_[0] == kEnvelopeStart) attempts[count++] = tryEnvelope();
        attempts[count++] = tryDirect();

        bool waiting = false;
        for (unsigned i = 0; i < count; ++i) {
            Attempt& a = attempts[i];
            if (a.outcome == Outcome::Valid) {
                // Report the garbage before it first.
                if (auto d = takeDropped()) return d;
                ScanResult r;
                r.kind = ScanResult::Kind::Frame;
                r.command = std::move(a.command);
                r.bytes.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(a.length));
                buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(a.length));
                return r;
            }
            if (a.outcome == Outcome::Incomplete && !gapExpired) waiting = true;
        }
        if (waiting) return std::nullopt;

        // No reading holds. A complete envelope that fails a check goes
        // whole, so that its inner frame is not taken for a direct one;
        // otherwise give up the first byte and look again.
        const bool wholeEnvelope = count == 2 && attempts[0].outcome == Outcome::Invalid && attempts[0].length > 0;
        const std::size_t drop = wholeEnvelope ? attempts[0].length : 1;
        if (dropped_.empty()) droppedReason_ = attempts[0].reason;
        dropped_.insert(dropped_.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(drop));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    return takeDropped();
}

}  // namespace kavrol::tools
