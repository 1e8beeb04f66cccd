// The two XOR checksums of the wire protocol, computed without touching the
// frame. Both cover frame[0..frame[1]] (clipped to the span); the positions
// of the checksum itself count as 0.
//
// Two-byte: f[4] holds the XOR of the odd positions, f[5] the XOR of the
// even positions (the pairing is crossed). One-byte: f[2] holds the XOR of
// the whole frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kavrol::protocol {

inline constexpr std::size_t kTwoByteOddAt = 4;
inline constexpr std::size_t kTwoByteEvenAt = 5;
inline constexpr std::size_t kOneByteAt = 2;

struct TwoByteChecksum {
    std::uint8_t odd = 0;   // goes to f[4]
    std::uint8_t even = 0;  // goes to f[5]
};

TwoByteChecksum twoByteChecksum(std::span<const std::uint8_t> frame);
std::uint8_t oneByteChecksum(std::span<const std::uint8_t> frame);

// True when f[4], f[5] hold the two-byte checksum of the frame (false for a
// span too short to hold them).
bool twoByteChecksumMatches(std::span<const std::uint8_t> frame);

// Store the checksum in place; the span holds at least the checksum bytes.
void fillTwoByteChecksum(std::span<std::uint8_t> frame);
void fillOneByteChecksum(std::span<std::uint8_t> frame);

}  // namespace kavrol::protocol
