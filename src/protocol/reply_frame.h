// Reply frames: building one, and what a host reader that follows the
// protocol concludes from the bytes that arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/checksum.h"
#include "protocol/frame.h"

namespace kavrol::protocol {

// Writes the frame start byte, L = 5 + payload size, reply code, second
// header byte, checksum, payload into out; returns its size, or 0 when the
// payload is above 245 bytes or out is too small.
std::size_t writeReplyFrame(std::uint8_t replyCode, std::uint8_t header3, std::span<const std::uint8_t> payload,
                            std::span<std::uint8_t> out);

enum class ReplyFault : std::uint8_t {
    None,              // valid frame, not a device error
    NoReply,           // nothing arrived
    HeaderCut,         // only one byte arrived
    LengthAboveRange,  // L above 250
    LengthBelowRange,  // L below 5: the checksum would lie outside the frame
    RestCut,           // fewer than L + 1 bytes arrived
    ChecksumMismatch,
    DeviceError,  // reply code 247..255
};

// "none", "no-reply", "header-cut", "length-above-range",
// "length-below-range", "cut", "checksum-mismatch", "device-error".
const char* replyFaultName(ReplyFault f);

struct ReplyJudgement {
    std::int32_t status = kTimeout;  // as the library reports it: 1, -2, -3, -12..-4
    ReplyFault fault = ReplyFault::NoReply;
    unsigned last = 0;  // L, once the header arrived
    std::size_t arrived = 0;
    TwoByteChecksum computed;    // ChecksumMismatch: what the frame should carry
    std::uint8_t replyCode = 0;  // None, DeviceError
};

// The reader takes two header bytes, rejects L outside 5..250, takes L - 1
// more bytes, checks the checksum, then the device error codes: in this
// order, so an error reply counts only when its frame is whole and right.
// `bytes` is all that arrives; bytes past the frame are not looked at.
ReplyJudgement judgeReply(std::span<const std::uint8_t> bytes);

}  // namespace kavrol::protocol
