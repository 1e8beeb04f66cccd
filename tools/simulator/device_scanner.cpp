#include "simulator/device_scanner.h"

namespace kavrol::tools {

void DeviceScanner::feed(std::span<const std::uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<ScanResult> DeviceScanner::takeDropped() {
    if (dropped_.empty()) return std::nullopt;
    ScanResult r;
    r.kind = ScanResult::Kind::Dropped;
    r.bytes = std::move(dropped_);
    r.reason = std::move(droppedReason_);
    dropped_.clear();
    droppedReason_.clear();
    return r;
}

std::optional<ScanResult> DeviceScanner::next(bool gapExpired) {
    using protocol::CommandFault;
    using protocol::CommandForm;
    while (!buffer_.empty()) {
        // A byte 24 opens an envelope or a direct frame of L = 36: the
        // envelope is tried first.
        protocol::CommandDecoding attempts[2];
        unsigned count = 0;
        if (buffer_[0] == kEnvelopeStart)
            attempts[count++] = protocol::decodeCommandFrame(buffer_, CommandForm::Multiplexed);
        attempts[count++] = protocol::decodeCommandFrame(buffer_, CommandForm::Direct);

        bool waiting = false;
        for (unsigned i = 0; i < count; ++i) {
            const protocol::CommandDecoding& a = attempts[i];
            if (a.fault == CommandFault::None) {
                // Report the garbage before it first.
                if (auto d = takeDropped()) return d;
                ScanResult r;
                r.kind = ScanResult::Kind::Frame;
                r.form = a.form;
                const auto end = buffer_.begin() + static_cast<std::ptrdiff_t>(a.length);
                r.bytes.assign(buffer_.begin(), end);
                buffer_.erase(buffer_.begin(), end);
                return r;
            }
            if (a.fault == CommandFault::Cut && !gapExpired) waiting = true;
        }
        if (waiting) return std::nullopt;

        // No reading holds. A complete envelope that fails a check goes
        // whole, so that its inner frame is not taken for a direct one;
        // otherwise give up the first byte and look again.
        const protocol::CommandDecoding& first = attempts[0];
        const bool wholeEnvelope = count == 2 && first.fault != CommandFault::Cut && first.length > 0;
        const std::size_t drop = wholeEnvelope ? first.length : 1;
        if (dropped_.empty()) droppedReason_ = commandFaultText(first, buffer_);
        dropped_.insert(dropped_.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(drop));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    return takeDropped();
}

}  // namespace kavrol::tools
