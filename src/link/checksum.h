// XOR checksums of the wire protocol.
//
// A frame f starts with its start byte f[0]; f[1] is the index of its last
// byte. The two-byte checksum lives in f[4] (XOR of the odd positions) and
// f[5] (XOR of the even positions), both counted as 0 while it is computed.
// The one-byte checksum lives in f[2]: the XOR of the whole frame with f[2]
// counted as 0.
#pragma once

#include <cstdint>

namespace kavrol::link {

inline constexpr std::uint8_t kOneByteChecksum = 1;

// Mode 1: one-byte checksum of the frame at buffer[0] (offset unused). Any
// other mode: two-byte checksum of the frame at buffer[offset].
void FillChecksum(std::uint8_t* buffer, std::int8_t offset, std::uint8_t mode);

// True when the stored two-byte checksum matches. Leaves f[4] = f[5] = 0
// whatever the outcome.
bool VerifyChecksum(std::uint8_t* frame);

}  // namespace kavrol::link
