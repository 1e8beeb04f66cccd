// Command frames as a device receives them: the mirror of
// encodeCommandFrame. Judges one reading of the bytes at the front of a
// stream, without copying or allocating: the decoded fields point into the
// bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/checksum.h"
#include "protocol/command_encoding.h"

namespace kavrol::protocol {

// The two ways a command travels. A byte 0x24 can open either (a direct
// frame of L = 36 or an envelope), so the reader says which it tries.
enum class CommandForm : std::uint8_t {
    Direct,       // sent without its start byte: first byte L (5..49), L bytes in all
    Multiplexed,  // 0x24, L (10..49), one-byte checksum, route count, route, inner frame; L + 1 bytes
};

// In the order they are judged; the first that holds is reported.
enum class CommandFault : std::uint8_t {
    None,
    NotThisForm,               // multiplexed only: the first byte is not 0x24
    LengthOutOfRange,          // L outside the form's range
    Cut,                       // fewer bytes than L announces (or not even L)
    RouteOutOfRange,           // bad envelope: route count above 9 or leaving no room for an inner frame
    InnerStartWrong,           // bad envelope: the inner frame does not start with 0x3C
    InnerLengthWrong,          // bad envelope: the inner L does not end where the envelope ends
    EnvelopeChecksumMismatch,  // the envelope's one-byte checksum
    ChecksumMismatch,          // the (inner) frame's two-byte checksum
};

// True for the faults after which every field below is filled: a frame of
// the form whose checksum fails.
constexpr bool isChecksumFault(CommandFault f) {
    return f == CommandFault::EnvelopeChecksumMismatch || f == CommandFault::ChecksumMismatch;
}

// "none", "not-this-form", "length-out-of-range", "cut", "route-out-of-range",
// "inner-start-wrong", "inner-length-wrong", "envelope-checksum-mismatch",
// "checksum-mismatch": the names the tools and the dissector report.
const char* commandFaultName(CommandFault f);

struct CommandDecoding {
    CommandFault fault = CommandFault::Cut;
    CommandForm form = CommandForm::Direct;
    unsigned last = 0;        // L as sent (the envelope's for a multiplexed frame), once it arrived
    std::size_t length = 0;   // bytes on the line that L announces; 0 while L has not arrived or is out of range
    std::size_t arrived = 0;  // bytes given
    // None and the checksum faults: the fields (route empty for a direct
    // frame), spans into the bytes given, and both checksums.
    CommandFrameFields fields;
    TwoByteChecksum received;  // of the inner frame for a multiplexed one
    TwoByteChecksum computed;
    std::uint8_t envelopeReceived = 0;  // multiplexed only
    std::uint8_t envelopeComputed = 0;
};

// Judges the bytes at the front of `bytes` as a command frame of `form`.
// Bytes past the announced length are not looked at.
CommandDecoding decodeCommandFrame(std::span<const std::uint8_t> bytes, CommandForm form);

}  // namespace kavrol::protocol
