#include "link/checksum.h"

#include <algorithm>
#include <span>

#include "protocol/checksum.h"

namespace kavrol::link {

namespace {

// The frame at f as far as its length byte reaches, and never shorter than
// the checksum positions `atLeast` that are written.
std::span<std::uint8_t> frameAt(std::uint8_t* f, std::size_t atLeast) {
    return {f, std::max<std::size_t>(static_cast<std::size_t>(f[1]) + 1, atLeast)};
}

}  // namespace

void FillChecksum(std::uint8_t* buffer, std::int8_t offset, std::uint8_t mode) {
    if (mode == kOneByteChecksum) {
        protocol::fillOneByteChecksum(frameAt(buffer, protocol::kOneByteAt + 1));
        return;
    }
    protocol::fillTwoByteChecksum(frameAt(buffer + offset, protocol::kTwoByteEvenAt + 1));
}

bool VerifyChecksum(std::uint8_t* frame) {
    const bool matches = protocol::twoByteChecksumMatches(frameAt(frame, protocol::kTwoByteEvenAt + 1));
    frame[protocol::kTwoByteOddAt] = 0;
    frame[protocol::kTwoByteEvenAt] = 0;
    return matches;
}

}  // namespace kavrol::link
