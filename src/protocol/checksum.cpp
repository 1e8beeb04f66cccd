#include "protocol/checksum.h"

#include <algorithm>

namespace kavrol::protocol {

namespace {

// The covered positions 0..f[1], never past the end of the span.
std::size_t coveredLength(std::span<const std::uint8_t> frame) {
    if (frame.size() < 2) return frame.size();
    return std::min<std::size_t>(frame.size(), static_cast<std::size_t>(frame[1]) + 1);
}

}  // namespace

TwoByteChecksum twoByteChecksum(std::span<const std::uint8_t> frame) {
    TwoByteChecksum sum;
    const std::size_t n = coveredLength(frame);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = (i == kTwoByteOddAt || i == kTwoByteEvenAt) ? 0 : frame[i];
        (i % 2 == 0 ? sum.even : sum.odd) ^= b;
    }
    return sum;
}

std::uint8_t oneByteChecksum(std::span<const std::uint8_t> frame) {
    std::uint8_t x = 0;
    const std::size_t n = coveredLength(frame);
    for (std::size_t i = 0; i < n; ++i) x = static_cast<std::uint8_t>(x ^ (i == kOneByteAt ? 0U : frame[i]));
    return x;
}

bool twoByteChecksumMatches(std::span<const std::uint8_t> frame) {
    if (frame.size() <= kTwoByteEvenAt) return false;
    const TwoByteChecksum sum = twoByteChecksum(frame);
    return frame[kTwoByteOddAt] == sum.odd && frame[kTwoByteEvenAt] == sum.even;
}

void fillTwoByteChecksum(std::span<std::uint8_t> frame) {
    const TwoByteChecksum sum = twoByteChecksum(frame);
    frame[kTwoByteOddAt] = sum.odd;
    frame[kTwoByteEvenAt] = sum.even;
}

void fillOneByteChecksum(std::span<std::uint8_t> frame) { frame[kOneByteAt] = oneByteChecksum(frame); }

}  // namespace kavrol::protocol
