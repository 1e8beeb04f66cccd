#include "common/frame_finder.h"

#include <algorithm>

namespace kavrol::tools {

namespace {

// Two of the longest frames: the front one and one that starts in its last byte.
constexpr std::size_t kSettledSpan = 2 * (kMaxReplyIndex + 1);

// The command carried by a direct-style frame f (start byte included).
Command commandOf(std::span<const std::uint8_t> f) {
    Command c;
    c.command = f[2];
    c.subCommand = f[3];
    c.payload.assign(f.begin() + 6, f.end());
    return c;
}

void checkTwoByte(std::span<const std::uint8_t> f, FoundFrame& frame) {
    frame.received = {f[4], f[5]};
    frame.computed = twoByteChecksum(f);
}

}  // namespace

const char* kindName(FoundFrame::Kind k) {
    switch (k) {
        case FoundFrame::Kind::Command: return "command";
        case FoundFrame::Kind::Reply: return "reply";
        case FoundFrame::Kind::Cut: return "cut frame";
        default: return "noise";
    }
}

void FrameFinder::feed(std::span<const std::uint8_t> bytes, std::optional<std::int64_t> timeUs) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    times_.insert(times_.end(), bytes.size(), timeUs);
}

bool FrameFinder::wholeFrame(std::span<const std::uint8_t> b, unsigned minLast, unsigned maxLast, Reading& r) {
    if (b.size() < 2) {
        r.outcome = Outcome::Incomplete;
        r.length = 2;
        return false;
    }
    const unsigned last = b[1];
    if (last < minLast || last > maxLast) return false;
    r.length = last + 1U;
    if (b.size() >= r.length) return true;
    r.outcome = Outcome::Incomplete;
    return false;
}

FrameFinder::Reading FrameFinder::readReply(std::size_t at) const {
    const std::span<const std::uint8_t> b = std::span(buffer_).subspan(at);
    Reading r;
    r.what = "reply frame";
    r.strong = b[0] == kReplyStart;
    if (!wholeFrame(b, kMinFrameIndex, kMaxReplyIndex, r)) return r;
    r.frame.kind = FoundFrame::Kind::Reply;
    checkTwoByte(b.first(r.length), r.frame);
    r.outcome = r.frame.checksumOk() ? Outcome::Valid : Outcome::Damaged;
    return r;
}

FrameFinder::Reading FrameFinder::readEnvelope(std::size_t at) const {
    const std::span<const std::uint8_t> b = std::span(buffer_).subspan(at);
    Reading r;
    r.what = "multiplexed frame";
    if (b[0] != kEnvelopeStart) return r;
    r.strong = true;
    if (!wholeFrame(b, kMinEnvelopeIndex, kMaxCommandIndex, r)) return r;
    const unsigned last = b[1];
    const auto f = b.first(r.length);
    const unsigned n = f[3];
    if (n > kMaxRoute || 4 + n + kMinFrameIndex > last) return r;
    const auto inner = f.subspan(4 + n);
    if (inner[0] != kDirectStart || inner[1] + 1U != inner.size()) return r;
    r.frame.kind = FoundFrame::Kind::Command;
    r.frame.command = commandOf(inner);
    r.frame.command.multiplexed = true;
    r.frame.command.route.assign(f.begin() + 4, f.begin() + 4 + n);
    checkTwoByte(inner, r.frame);
    r.frame.envelopeReceived = f[2];
    r.frame.envelopeComputed = oneByteChecksum(f);
    r.outcome = r.frame.checksumOk() ? Outcome::Valid : Outcome::Damaged;
    return r;
}

FrameFinder::Reading FrameFinder::readDirect(std::size_t at) const {
    const std::span<const std::uint8_t> b = std::span(buffer_).subspan(at);
    Reading r;
    r.what = "direct command frame";
    const unsigned last = b[0];
    if (last < kMinFrameIndex || last > kMaxCommandIndex) return r;
    r.length = last;  // sent without its start byte
    if (b.size() < r.length) {
        r.outcome = Outcome::Incomplete;
        return r;
    }
    // Put the start byte back: the checksum counts it.
    Bytes f{kDirectStart};
    f.insert(f.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(r.length));
    r.frame.kind = FoundFrame::Kind::Command;
    r.frame.command = commandOf(f);
    checkTwoByte(f, r.frame);
    r.outcome = r.frame.checksumOk() ? Outcome::Valid : Outcome::Damaged;
    return r;
}

std::vector<FrameFinder::Reading> FrameFinder::readingsAt(std::size_t at) const {
    std::vector<Reading> readings;
    const auto add = [&](Reading r) {
        readings.push_back(std::move(r));
        return readings.back().outcome == Outcome::Valid;
    };
    const bool commands = direction_ != LineDirection::Device;
    const bool replies = direction_ != LineDirection::Host;
    if (commands && buffer_[at] == kEnvelopeStart && add(readEnvelope(at))) return readings;
    if (replies && add(readReply(at))) return readings;
    if (commands) add(readDirect(at));
    return readings;
}

bool FrameFinder::validAt(std::size_t at) const {
    const auto rs = readingsAt(at);
    return !rs.empty() && rs.back().outcome == Outcome::Valid;
}

FoundFrame FrameFinder::take(FoundFrame f, std::size_t length) {
    f.bytes.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
    f.timeUs = times_[0];
    f.direction = direction_;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
    times_.erase(times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(length));
    return f;
}

void FrameFinder::dropAsNoise(std::size_t count, const std::string& why) {
    if (noise_.bytes.empty()) {
        noise_.timeUs = times_[0];
        noise_.note = why;
    }
    noise_.bytes.insert(noise_.bytes.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    times_.erase(times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(count));
}

std::optional<FoundFrame> FrameFinder::takeNoise() {
    if (noise_.bytes.empty()) return std::nullopt;
    FoundFrame f = std::move(noise_);
    f.kind = FoundFrame::Kind::Noise;
    f.direction = direction_;
    noise_ = FoundFrame{};
    return f;
}

std::optional<FoundFrame> FrameFinder::next(bool gapExpired) {
    while (!buffer_.empty()) {
        // A flood of noise is reported in runs of bounded size.
        if (noise_.bytes.size() >= kSettledSpan) return takeNoise();
        const std::vector<Reading> rs = readingsAt(0);
        // Noise already collected goes out before whatever follows it; the
        // frame is found again on the next call.
        const auto emit = [&](FoundFrame f, std::size_t length) {
            if (!noise_.bytes.empty()) return *takeNoise();
            return take(std::move(f), length);
        };
        const auto cut = [&](const Reading& r, std::size_t length, const char* before) {
            FoundFrame f;
            f.kind = FoundFrame::Kind::Cut;
            f.note = r.what + " cut short: its header announces " + std::to_string(r.length) + " bytes, " +
                     std::to_string(length) + " arrived" + before;
            return emit(std::move(f), length);
        };
        for (const Reading& r : rs) {
            // A valid frame, or an envelope whose structure holds: the frame
            // it carries is not to be read on its own.
            if (r.outcome == Outcome::Valid || (r.outcome == Outcome::Damaged && r.frame.command.multiplexed)) {
                return emit(r.frame, r.length);
            }
        }
        // A valid frame further on ends whatever stands in front of it.
        std::size_t next = 1;
        while (next < buffer_.size() && !validAt(next)) ++next;
        if (next < buffer_.size()) {
            for (const Reading& r : rs) {
                if (r.outcome == Outcome::Damaged && r.length <= next) return emit(r.frame, r.length);
            }
            for (const Reading& r : rs) {
                if ((r.outcome == Outcome::Damaged || r.outcome == Outcome::Incomplete) && r.strong) {
                    return cut(r, next, " before the next frame");
                }
            }
            // One byte at a time: a cut frame may begin before the next frame.
            dropAsNoise(1, "byte " + hexByte(buffer_[0]) + " begins no frame");
            continue;
        }
        const bool waiting = std::any_of(rs.begin(), rs.end(), [](const Reading& r) {
            return r.outcome == Outcome::Incomplete || r.outcome == Outcome::Damaged;
        });
        // Once a whole frame beyond the front one could have arrived, no
        // valid frame can begin inside it any more: decide as if the line
        // had gone quiet, so that a line that never pauses is still read.
        const bool settled = gapExpired || buffer_.size() > kSettledSpan;
        if (waiting && !settled) return std::nullopt;
        for (const Reading& r : rs) {
            if (r.outcome == Outcome::Damaged && (r.strong || (gapExpired && r.length == buffer_.size()))) {
                return emit(r.frame, r.length);
            }
        }
        for (const Reading& r : rs) {
            if (r.outcome == Outcome::Incomplete && (r.strong || direction_ != LineDirection::Unknown)) {
                return cut(r, buffer_.size(), "");
            }
        }
        dropAsNoise(1, "byte " + hexByte(buffer_[0]) + " begins no frame");
    }
    // A run of noise may go on: it is reported whole once a frame follows
    // or the line is quiet.
    return gapExpired ? takeNoise() : std::nullopt;
}

}  // namespace kavrol::tools
