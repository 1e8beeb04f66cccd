// Decoding one reply into caller objects pre-filled with a known pattern,
// for the tests of the model layouts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "kavrol32/kavrol32.h"
#include "reply/reply_reader.h"
#include "support/caller_objects.h"
#include "support/frames.h"

namespace kavrol::test::layouts {

// Bytes past the caller's objects that nothing may write.
inline constexpr std::size_t kGuardSize = CallerObjects::kGuard;

// The caller's content before a call: a pattern in which neighbouring
// positions differ and no position holds the same value for two seeds.
inline std::uint8_t prefill(std::size_t k, std::uint8_t seed) { return static_cast<std::uint8_t>(k * 37 + seed); }

// Distinct values for distinct receive-area positions, so that a byte in
// the buffer tells where it came from.
inline std::uint8_t tag(unsigned j) { return static_cast<std::uint8_t>(j * 11 + 5); }

// The tags of r[first..last] (at most four) read low byte first.
inline std::uint32_t tagsOf(unsigned first, unsigned last) {
    std::uint32_t v = 0;
    for (unsigned j = last + 1; j-- > first;) v = v << 8 | tag(j);
    return v;
}

// Payload r[6..last] with r[j] = tag(j), then the given bytes put in place.
inline Bytes taggedPayload(unsigned last, std::initializer_list<std::pair<unsigned, std::uint8_t>> bytes = {}) {
    Bytes p(last - 5);
    for (unsigned j = 6; j <= last; ++j) p[j - 6] = tag(j);
    for (const auto& [j, value] : bytes) p.at(j - 6) = value;
    return p;
}

// The caller's objects after a decode, and its result.
struct Decoded : CallerObjects {
    std::int32_t result = 0;

    unsigned u16(std::size_t k) const { return unsigned{buffer[k]} | (unsigned{buffer[k + 1]} << 8); }
    std::uint32_t u32(std::size_t k) const {
        return std::uint32_t{buffer[k]} | (std::uint32_t{buffer[k + 1]} << 8) | (std::uint32_t{buffer[k + 2]} << 16) |
               (static_cast<std::uint32_t>(buffer[k + 3]) << 24);
    }
};

// Decodes the frame for the model as the reply reader does once the frame
// has been read, into a buffer and a record pre-filled with prefill(k, seed)
// (guard bytes included).
inline Decoded decode(std::uint32_t model, const Bytes& frame, std::uint8_t seed = 0xA5) {
    Decoded d;
    for (std::size_t k = 0; k < d.buffer.size(); ++k) d.buffer[k] = prefill(k, seed);
    const auto recordSeed = static_cast<std::uint8_t>(seed + 1);
    for (std::size_t k = 0; k < d.record.size(); ++k) d.record[k] = prefill(k, recordSeed);
    Bytes area = receiveArea(frame);
    d.result = reply::decodeReply(model, area.data(), d.buffer.data(), d.record.data());
    return d;
}

inline Decoded decode(std::uint32_t model, std::uint8_t replyCode, std::uint8_t header3, const Bytes& payload,
                      std::uint8_t seed = 0xA5) {
    return decode(model, replyFrame(replyCode, header3, payload), seed);
}

}  // namespace kavrol::test::layouts
