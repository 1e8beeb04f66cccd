// Fuzzes the protocol checksums. For a two-byte frame at any offset: the
// fill stores the sums computed here, touches nothing outside the frame's
// check positions, and a match of the filled frame is true; a flip of any
// single bit of a covered byte other than the length byte then makes it
// false, and a match never writes. A match of the unfilled frame agrees
// with the reference. For the one-byte checksum the whole frame XORs to 0.
//
// The length byte is left out of the flips: changing it also moves the end of
// the covered run, so a coincidental match is possible.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "protocol/checksum.h"

namespace {

using kavrol::fuzz::check;
namespace protocol = kavrol::protocol;

bool matches(const std::uint8_t* f, unsigned last) {
    const std::vector<std::uint8_t> before(f, f + last + 1);
    const bool ok = protocol::twoByteChecksumMatches({f, last + 1U});
    check(std::equal(before.begin(), before.end(), f), "a checksum match wrote into the frame");
    return ok;
}

void fuzzTwoByte(std::uint8_t offset, const std::uint8_t* frame, unsigned last, std::uint8_t flipSeed) {
    // Exactly the bytes up to the frame's end, so reads past it are caught.
    std::vector<std::uint8_t> buf(offset + last + 1U);
    for (unsigned i = 0; i < offset; ++i) buf[i] = static_cast<std::uint8_t>(0xA0 ^ i);
    std::memcpy(buf.data() + offset, frame, last + 1U);
    std::uint8_t* f = buf.data() + offset;

    check(matches(f, last) == kavrol::fuzz::referenceVerify(f, last),
          "match of an arbitrary frame differs from the reference");

    const std::vector<std::uint8_t> before = buf;
    protocol::fillTwoByteChecksum(std::span(buf).subspan(offset, last + 1U));
    const kavrol::fuzz::TwoByteSums s = kavrol::fuzz::referenceSums(before.data() + offset, last);
    check(f[4] == s.odd && f[5] == s.even, "filled sums differ from the reference");
    for (std::size_t i = 0; i < buf.size(); ++i) {
        if (i != offset + 4U && i != offset + 5U) check(buf[i] == before[i], "fill touched another byte");
    }

    const std::vector<std::uint8_t> filled(f, f + last + 1);
    check(matches(f, last), "match of a filled frame");
    for (unsigned i = 0; i <= last; ++i) {
        if (i == 1) continue;
        std::memcpy(f, filled.data(), filled.size());
        f[i] ^= static_cast<std::uint8_t>(1U << ((i + flipSeed) % 8));
        check(!matches(f, last), "a single-bit flip went undetected");
    }
}

void fuzzOneByte(const std::uint8_t* frame, unsigned last) {
    std::vector<std::uint8_t> buf(frame, frame + last + 1);
    const std::vector<std::uint8_t> before = buf;
    protocol::fillOneByteChecksum(buf);
    std::uint8_t x = 0;
    for (unsigned i = 0; i <= last; ++i) x ^= buf[i];
    check(x == 0, "one-byte checksum does not cancel the frame");
    for (unsigned i = 0; i <= last; ++i) {
        if (i != 2) check(buf[i] == before[i], "one-byte fill touched another byte");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kavrol::fuzz::Input in(data, size);
    const std::uint8_t offset = in.Byte() % 64;
    const bool oneByte = in.Byte() % 2 == 1;
    const std::uint8_t flipSeed = in.Byte();

    // The frame: the rest of the input, at least 6 and at most 256 bytes;
    // its length byte is brought into the range the mode needs.
    std::uint8_t frame[256] = {};
    const std::size_t have = std::min<std::size_t>(in.restSize(), sizeof frame);
    std::memcpy(frame, in.Rest(), have);
    const unsigned room = static_cast<unsigned>(have < 6 ? 6 : have);  // bytes available
    if (oneByte) {
        frame[1] = static_cast<std::uint8_t>(2 + frame[1] % (room - 2));
        fuzzOneByte(frame, frame[1]);
    } else {
        frame[1] = static_cast<std::uint8_t>(5 + frame[1] % (room - 5));
        fuzzTwoByte(offset, frame, frame[1], flipSeed);
    }
    return 0;
}
