#include "cli/capture/tap_finder.h"

#include <algorithm>

#include "protocol/reply_frame.h"

namespace kavrol::tools {

namespace {

using protocol::CommandFault;
using protocol::CommandForm;
using protocol::ReplyFault;

// Two of the longest frames: the front one and one that starts in its last byte.
constexpr std::size_t kSettledSpan = 2 * (kMaxReplyIndex + 1);
// The longest reading that can still wait for bytes: a reply of L = 250.
constexpr std::size_t kLongestWaiting = kMaxReplyIndex + 1;

bool replyAccepted(ReplyFault f) { return f == ReplyFault::None || f == ReplyFault::DeviceError; }

// The reading of a command frame of one form; the decoder decides.
void readCommand(std::span<const std::uint8_t> b, CommandForm form, FoundFrame& frame, std::size_t& length,
                 bool& incomplete, bool& whole) {
    const protocol::CommandDecoding d = protocol::decodeCommandFrame(b, form);
    incomplete = d.fault == CommandFault::Cut;
    length = incomplete && d.length == 0 ? protocol::kReplyHeaderSize : d.length;
    whole = d.fault == CommandFault::None || protocol::isChecksumFault(d.fault);
    if (!whole) return;
    frame.kind = FoundFrame::Kind::Command;
    frame.form = form;
    frame.received = d.received;
    frame.computed = d.computed;
    frame.envelopeReceived = d.envelopeReceived;
    frame.envelopeComputed = d.envelopeComputed;
}

}  // namespace

const char* kindName(FoundFrame::Kind k) {
    switch (k) {
        case FoundFrame::Kind::Command: return "command";
        case FoundFrame::Kind::Reply: return "reply";
        case FoundFrame::Kind::Cut: return "cut frame";
        case FoundFrame::Kind::Bad: return "bad frame";
        default: return "noise";
    }
}

void TapFinder::feed(std::span<const std::uint8_t> bytes, std::optional<std::int64_t> timeUs) {
    // A reading that waited for these bytes may now hold: look again at the
    // positions that could have been waiting.
    const std::uint64_t end = erased_ + size();
    checkedTo_ = std::min(checkedTo_, end > kLongestWaiting ? end - kLongestWaiting : 0);
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    times_.insert(times_.end(), bytes.size(), timeUs);
}

void TapFinder::erase(std::size_t count) {
    head_ += count;
    erased_ += count;
    // Move the rest down once the consumed part outweighs it: amortized linear.
    if (head_ > buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
        times_.erase(times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

TapFinder::Reading TapFinder::readReply(std::size_t at) const {
    const auto b = bytesAt(at);
    Reading r;
    r.what = "reply frame";
    r.strong = b[0] == kReplyStart;
    const protocol::ReplyJudgement j = protocol::judgeReply(b);
    switch (j.fault) {
        case ReplyFault::NoReply:
        case ReplyFault::HeaderCut:
            r.outcome = Outcome::Incomplete;
            r.length = protocol::kReplyHeaderSize;
            return r;
        case ReplyFault::LengthAboveRange:
        case ReplyFault::LengthBelowRange:
            // Only a start byte makes this a frame; anything else is no reply.
            if (!r.strong) return r;
            r.outcome = Outcome::BadLength;
            r.length = j.last + 1U;
            r.frame.kind = FoundFrame::Kind::Bad;
            r.frame.note = "reply frame with " + judgeReply(b).detail;
            return r;
        case ReplyFault::RestCut:
            r.outcome = Outcome::Incomplete;
            r.length = j.last + 1U;
            return r;
        case ReplyFault::ChecksumMismatch:
        case ReplyFault::DeviceError:
        case ReplyFault::None: break;
    }
    r.length = j.last + 1U;
    r.frame.kind = FoundFrame::Kind::Reply;
    r.frame.received = {b[kTwoByteOddAt], b[kTwoByteEvenAt]};
    r.frame.computed = j.fault == ReplyFault::ChecksumMismatch ? j.computed : r.frame.received;
    r.outcome = replyAccepted(j.fault) ? Outcome::Valid : Outcome::Damaged;
    return r;
}

TapFinder::Reading TapFinder::readEnvelope(std::size_t at) const {
    const auto b = bytesAt(at);
    Reading r;
    r.what = "multiplexed frame";
    if (b[0] != kEnvelopeStart) return r;
    r.strong = true;
    bool incomplete = false;
    bool whole = false;
    readCommand(b, CommandForm::Multiplexed, r.frame, r.length, incomplete, whole);
    if (incomplete) r.outcome = Outcome::Incomplete;
    if (whole) r.outcome = r.frame.checksumOk() ? Outcome::Valid : Outcome::Damaged;
    return r;
}

TapFinder::Reading TapFinder::readDirect(std::size_t at) const {
    Reading r;
    r.what = "direct command frame";
    r.direct = true;
    bool incomplete = false;
    bool whole = false;
    readCommand(bytesAt(at), CommandForm::Direct, r.frame, r.length, incomplete, whole);
    if (incomplete) r.outcome = Outcome::Incomplete;
    if (whole) r.outcome = r.frame.checksumOk() ? Outcome::Valid : Outcome::Damaged;
    return r;
}

std::vector<TapFinder::Reading> TapFinder::readingsAt(std::size_t at) const {
    std::vector<Reading> readings;
    const auto add = [&](Reading r) {
        readings.push_back(std::move(r));
        return readings.back().outcome == Outcome::Valid;
    };
    const bool commands = direction_ != LineDirection::Device;
    const bool replies = direction_ != LineDirection::Host;
    if (commands && bytesAt(at)[0] == kEnvelopeStart && add(readEnvelope(at))) return readings;
    if (replies && add(readReply(at))) return readings;
    if (commands) add(readDirect(at));
    return readings;
}

bool TapFinder::validAt(std::size_t at) const {
    // The readings of readingsAt, judged only: nothing is copied.
    const auto b = bytesAt(at);
    const bool commands = direction_ != LineDirection::Device;
    const bool replies = direction_ != LineDirection::Host;
    if (commands && b[0] == kEnvelopeStart &&
        protocol::decodeCommandFrame(b, CommandForm::Multiplexed).fault == CommandFault::None) {
        return true;
    }
    if (replies && replyAccepted(protocol::judgeReply(b).fault)) return true;
    return commands && protocol::decodeCommandFrame(b, CommandForm::Direct).fault == CommandFault::None;
}

std::size_t TapFinder::nextValid() {
    const std::uint64_t front = erased_;
    std::uint64_t p = std::max(checkedTo_, front + 1);
    const std::uint64_t end = front + size();
    while (p < end && !validAt(static_cast<std::size_t>(p - front))) ++p;
    checkedTo_ = p;
    return static_cast<std::size_t>(p - front);
}

FoundFrame TapFinder::take(FoundFrame f, std::size_t length) {
    const auto b = bytesAt(0);
    f.bytes.assign(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(length));
    f.timeUs = times_[head_];
    f.direction = direction_;
    erase(length);
    return f;
}

void TapFinder::dropAsNoise(std::size_t count, const std::string& why) {
    if (noise_.bytes.empty()) {
        noise_.timeUs = times_[head_];
        noise_.note = why;
    }
    const auto b = bytesAt(0);
    noise_.bytes.insert(noise_.bytes.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(count));
    erase(count);
}

std::optional<FoundFrame> TapFinder::takeNoise() {
    if (noise_.bytes.empty()) return std::nullopt;
    FoundFrame f = std::move(noise_);
    f.kind = FoundFrame::Kind::Noise;
    f.direction = direction_;
    noise_ = FoundFrame{};
    return f;
}

std::optional<FoundFrame> TapFinder::next(bool gapExpired) {
    while (size() > 0) {
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
            if (r.outcome == Outcome::Valid || (r.outcome == Outcome::Damaged && r.frame.multiplexed())) {
                return emit(r.frame, r.length);
            }
        }
        // A valid frame further on ends whatever stands in front of it.
        const std::size_t next = nextValid();
        if (next < size()) {
            for (const Reading& r : rs) {
                if (r.outcome == Outcome::Damaged && r.length <= next) return emit(r.frame, r.length);
            }
            for (const Reading& r : rs) {
                if (r.outcome == Outcome::BadLength) return emit(r.frame, std::min(r.length, next));
            }
            for (const Reading& r : rs) {
                if ((r.outcome == Outcome::Damaged || r.outcome == Outcome::Incomplete) && r.strong) {
                    return cut(r, next, " before the next frame");
                }
            }
            // One byte at a time: a cut frame may begin before the next frame.
            dropAsNoise(1, "byte " + hexByte(bytesAt(0)[0]) + " begins no frame");
            continue;
        }
        const bool waiting = std::any_of(rs.begin(), rs.end(), [&](const Reading& r) {
            return r.outcome == Outcome::Incomplete || r.outcome == Outcome::Damaged ||
                   (r.outcome == Outcome::BadLength && r.length > size());
        });
        // Once a whole frame beyond the front one could have arrived, no
        // valid frame can begin inside it any more: decide as if the line
        // had gone quiet, so that a line that never pauses is still read.
        const bool settled = gapExpired || size() > kSettledSpan;
        if (waiting && !settled) return std::nullopt;
        for (const Reading& r : rs) {
            if (r.outcome == Outcome::Damaged && (r.strong || (gapExpired && r.length == size()))) {
                return emit(r.frame, r.length);
            }
        }
        for (const Reading& r : rs) {
            if (r.outcome == Outcome::BadLength) return emit(r.frame, std::min(r.length, size()));
        }
        // Unknown direction: a direct frame has no start byte, so a cut one
        // is told from noise only where the input ends, more than its L byte
        // came, and no start byte of another frame follows.
        const auto rest = bytesAt(0).subspan(1);
        const bool directCut = gapExpired && size() >= 2 && std::none_of(rest.begin(), rest.end(), [](std::uint8_t b) {
                                   return b == kReplyStart || b == kEnvelopeStart;
                               });
        for (const Reading& r : rs) {
            const bool likely = r.strong || direction_ != LineDirection::Unknown || (r.direct && directCut);
            if (r.outcome == Outcome::Incomplete && likely) return cut(r, size(), "");
        }
        dropAsNoise(1, "byte " + hexByte(bytesAt(0)[0]) + " begins no frame");
    }
    // A run of noise may go on: it is reported whole once a frame follows
    // or the line is quiet.
    return gapExpired ? takeNoise() : std::nullopt;
}

}  // namespace kavrol::tools
