// Builders of reply frames for tests. An independent oracle on purpose: its
// own checksum, not the protocol module's, so tests can catch a fault there.
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
Bytes payloadWith(unsigned last, std::initializer_list<std::pair<unsigned, std::uint8_t>> bytes, std::uint8_t fill = 0);

// Payload bytes r[6..last] with r[j] = byteAt(j); empty for last below 6.
Bytes payloadFrom(unsigned last, std::uint8_t (*byteAt)(unsigned j));

// A frame whose length byte is `last`: for L = 5..250 a valid frame of
// L + 1 bytes with payload bytes `fill`; for any other L, L + 1 bytes (at
// least 3, so that it has a reply code) without a checksum.
Bytes frameWithLength(unsigned last, std::uint8_t replyCode, std::uint8_t fill = 0);

}  // namespace kavrol::test
