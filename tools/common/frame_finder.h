// Finds the frames in the bytes seen on a line, in either direction, for the
// decoder and the monitor. Unlike a device's scanner it keeps what it cannot
// accept: a frame whose checksum fails is still shown (with the received and
// the computed checksum), a frame that broke off is reported as cut, and
// bytes that begin no frame are returned as noise, after which the search
// goes on with the next byte.
//
// Commands come as a direct frame without its start byte (first byte: last
// index L, 5..49) or as a multiplexer envelope (0x24 ...); replies as
// start byte, L (5..250), reply code, second header byte, checksum, payload.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/hex_log.h"
#include "common/wire.h"

namespace kavrol::tools {

struct FoundFrame {
    enum class Kind { Command, Reply, Cut, Noise };
    Kind kind = Kind::Noise;
    Bytes bytes;                        // as on the line
    std::optional<std::int64_t> timeUs; // when its first byte was seen
    LineDirection direction = LineDirection::Unknown;  // as the input said

    // Command and Reply: the two-byte checksum (of the inner frame of an
    // envelope) as received and as computed.
    TwoByteChecksum received;
    TwoByteChecksum computed;
    // Multiplexed commands: the envelope's one-byte checksum.
    std::uint8_t envelopeReceived = 0;
    std::uint8_t envelopeComputed = 0;

    Command command;  // Command only
    // Reply only: the frame with its start byte, r[0..L].
    std::uint8_t replyCode() const { return bytes[2]; }
    std::uint8_t header3() const { return bytes[3]; }
    unsigned lastIndex() const { return bytes[1]; }

    std::string note;  // Cut and Noise: what was wrong

    bool checksumOk() const {
        return received.odd == computed.odd && received.even == computed.even &&
               envelopeReceived == envelopeComputed;
    }
};

// "command", "reply", "cut frame", "noise".
const char* kindName(FoundFrame::Kind k);

class FrameFinder {
public:
    // Host: only command readings; Device: only replies; Unknown: both.
    explicit FrameFinder(LineDirection direction = LineDirection::Unknown) : direction_(direction) {}

    void feed(std::span<const std::uint8_t> bytes, std::optional<std::int64_t> timeUs = std::nullopt);

    // The next decided frame, cut frame or noise run. With gapExpired (the
    // line has been quiet, or the input ended) what waits is decided too.
    std::optional<FoundFrame> next(bool gapExpired);

    bool pending() const { return !buffer_.empty() || !noise_.bytes.empty(); }

private:
    enum class Outcome { Valid, Damaged, Incomplete, Invalid };
    struct Reading {
        Outcome outcome = Outcome::Invalid;
        bool strong = false;  // a start byte and header that rarely occur by chance
        std::size_t length = 0;
        FoundFrame frame;
        std::string what;     // "reply frame", ...
    };
    // For frames whose byte 1 is their last index (minLast..maxLast): true
    // when all of it is there; else r says incomplete or (length 0) invalid.
    static bool wholeFrame(std::span<const std::uint8_t> b, unsigned minLast, unsigned maxLast, Reading& r);
    Reading readReply(std::size_t at) const;
    Reading readEnvelope(std::size_t at) const;
    Reading readDirect(std::size_t at) const;
    // The readings this direction allows, best first; stops at a valid one.
    std::vector<Reading> readingsAt(std::size_t at) const;
    bool validAt(std::size_t at) const;

    FoundFrame take(FoundFrame f, std::size_t length);
    std::optional<FoundFrame> takeNoise();
    void dropAsNoise(std::size_t count, const std::string& why);

    LineDirection direction_;
    Bytes buffer_;
    std::vector<std::optional<std::int64_t>> times_;  // per byte of buffer_
    FoundFrame noise_;
};

}  // namespace kavrol::tools
