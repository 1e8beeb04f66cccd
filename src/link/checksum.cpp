#include "link/checksum.h"

namespace kavrol::link {

namespace {

struct ParitySums {
    std::uint8_t even = 0;
    std::uint8_t odd = 0;
};

// Zeroes f[4], f[5] and XORs f[0..f[1]] into the even and odd sums.
ParitySums paritySums(std::uint8_t* f) {
    f[4] = 0;
    f[5] = 0;
    ParitySums s;
    const unsigned last = f[1];
    for (unsigned i = 0; i <= last; ++i) {
        if ((i & 1U) == 0) {
            s.even ^= f[i];
        } else {
            s.odd ^= f[i];
        }
    }
    return s;
}

}  // namespace

void FillChecksum(std::uint8_t* buffer, std::int8_t offset, std::uint8_t mode) {
    if (mode == kOneByteChecksum) {
        buffer[2] = 0;
        std::uint8_t x = 0;
        const unsigned last = buffer[1];
        for (unsigned i = 0; i <= last; ++i) x ^= buffer[i];
        buffer[2] = x;
        return;
    }
    std::uint8_t* f = buffer + offset;
    const ParitySums s = paritySums(f);
    f[5] = s.even;
    f[4] = s.odd;
}

bool VerifyChecksum(std::uint8_t* frame) {
    const std::uint8_t storedEven = frame[5];
    const std::uint8_t storedOdd = frame[4];
    const ParitySums s = paritySums(frame);
    return storedEven == s.even && storedOdd == s.odd;
}

}  // namespace kavrol::link
