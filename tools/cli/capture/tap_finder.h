// The tap's side of the line: finds the frames in the bytes seen on a line,
// in either direction, for the decoder and the monitor. Commands are judged
// by protocol::decodeCommandFrame, replies by protocol::judgeReply. Unlike a
// device's scanner it keeps what it cannot accept: a frame whose checksum
// fails is still shown (with the received and the computed checksum), a
// frame that broke off is reported as cut, a reply whose length byte no
// reader accepts as a bad frame, and bytes that begin no frame are returned
// as noise, after which the search goes on with the next byte.
//
// Work is linear in the input: what is known about the positions ahead of
// the front is kept between calls, and the buffer holds no more than two of
// the longest frames plus what one feed brings.
//
// Commands come as a direct frame without its start byte (first byte: last
// index L, 5..49) or as a multiplexer envelope (0x24 ...); replies as
// start byte, L (5..250), reply code, second header byte, checksum, payload.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "cli/capture/hex_log.h"
#include "common/wire.h"

namespace kavrol::tools {

struct FoundFrame {
    enum class Kind { Command, Reply, Cut, Noise, Bad };
    Kind kind = Kind::Noise;
    Bytes bytes;                                       // as on the line
    std::optional<std::int64_t> timeUs;                // when its first byte was seen
    LineDirection direction = LineDirection::Unknown;  // as the input said

    // Command and Reply: the two-byte checksum (of the inner frame of an
    // envelope) as received and as computed.
    TwoByteChecksum received;
    TwoByteChecksum computed;
    // Multiplexed commands: the envelope's one-byte checksum.
    std::uint8_t envelopeReceived = 0;
    std::uint8_t envelopeComputed = 0;

    // Command only: how it came, and its decoded fields (spans into bytes).
    protocol::CommandForm form = protocol::CommandForm::Direct;
    protocol::CommandFrameFields fields() const { return commandFieldsOf(bytes, form); }
    bool multiplexed() const { return kind == Kind::Command && form == protocol::CommandForm::Multiplexed; }
    // Reply only: the frame with its start byte, r[0..L].
    std::uint8_t replyCode() const { return bytes[kReplyCodeAt]; }
    std::uint8_t header3() const { return bytes[kHeader3At]; }
    unsigned lastIndex() const { return bytes[1]; }

    std::string note;  // Cut, Noise and Bad: what was wrong

    bool checksumOk() const {
        return received.odd == computed.odd && received.even == computed.even && envelopeReceived == envelopeComputed;
    }
};

// "command", "reply", "cut frame", "noise", "bad frame".
const char* kindName(FoundFrame::Kind k);

class TapFinder {
public:
    // Host: only command readings; Device: only replies; Unknown: both.
    explicit TapFinder(LineDirection direction = LineDirection::Unknown) : direction_(direction) {}

    void feed(std::span<const std::uint8_t> bytes, std::optional<std::int64_t> timeUs = std::nullopt);

    // The next decided frame, cut frame or noise run. With gapExpired (the
    // line has been quiet, or the input ended) what waits is decided too.
    std::optional<FoundFrame> next(bool gapExpired);

    bool pending() const { return size() > 0 || !noise_.bytes.empty(); }

private:
    // Valid: a whole frame; Damaged: a whole frame whose checksum fails;
    // Incomplete: more bytes are announced; BadLength: a reply start byte
    // with a length byte outside 5..250; Invalid: no frame of this reading.
    enum class Outcome { Valid, Damaged, Incomplete, BadLength, Invalid };
    struct Reading {
        Outcome outcome = Outcome::Invalid;
        bool strong = false;  // a start byte and header that rarely occur by chance
        bool direct = false;  // a direct command: no start byte on the line
        std::size_t length = 0;
        FoundFrame frame;
        std::string what;  // "reply frame", ...
    };
    Reading readReply(std::size_t at) const;
    Reading readEnvelope(std::size_t at) const;
    Reading readDirect(std::size_t at) const;
    // The readings this direction allows, best first; stops at a valid one.
    std::vector<Reading> readingsAt(std::size_t at) const;
    bool validAt(std::size_t at) const;
    // The first position after the front where a valid frame begins, or
    // size() when none does as far as the bytes reach.
    std::size_t nextValid();

    std::size_t size() const { return buffer_.size() - head_; }
    std::span<const std::uint8_t> bytesAt(std::size_t at) const { return std::span(buffer_).subspan(head_ + at); }
    void erase(std::size_t count);

    FoundFrame take(FoundFrame f, std::size_t length);
    std::optional<FoundFrame> takeNoise();
    void dropAsNoise(std::size_t count, const std::string& why);

    LineDirection direction_;
    Bytes buffer_;                                    // the bytes from head_ on wait
    std::vector<std::optional<std::int64_t>> times_;  // per byte of buffer_
    std::size_t head_ = 0;
    // In positions counted from the first byte ever fed: nothing valid
    // begins in (front, checkedTo_); validFound_ (when above the front) is
    // where the first valid frame after the front begins.
    std::uint64_t erased_ = 0;
    std::uint64_t checkedTo_ = 0;
    std::uint64_t validFound_ = 0;
    FoundFrame noise_;
};

}  // namespace kavrol::tools
