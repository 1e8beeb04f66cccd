// Builders of reply frames for tests, written independently of the library.
#pragma once

#include <cstdint>
#include <vector>

namespace kavrol::test {

using Bytes = std::vector<std::uint8_t>;

// A reply frame: start byte, L, reply code, second header byte, the two-byte
// checksum (f[4] odd-position XOR, f[5] even-position XOR), then payload.
Bytes replyFrame(std::uint8_t replyCode, std::uint8_t header3, const Bytes& payload, std::uint8_t start = 0x3E);

// The same frame with its checksum broken.
Bytes withBadChecksum(Bytes frame);

// A 256-byte receive area holding the frame, zero beyond it.
Bytes receiveArea(const Bytes& frame);

// Payload bytes such that r[j] = value for the pairs given (payload starts
// at r[6]); all other payload bytes up to r[last] are `fill`.
Bytes payloadWith(unsigned last, std::initializer_list<std::pair<unsigned, std::uint8_t>> bytes,
                  std::uint8_t fill = 0);

}  // namespace kavrol::test
