// The decode cases of the benchmarks: for every model group, the reply code
// (and form of r[3]) whose layout writes the most buffer positions for a
// full-length reply frame (L = 250), and, where that is the payload run of
// reply code 9, also the largest of the fixed layouts (codes 1..8).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/reply_frame.h"

namespace kavrol::bench {

// A reply frame as a device sends it.
inline std::vector<std::uint8_t> replyFrame(std::uint8_t replyCode, std::uint8_t header3,
                                            const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> f(protocol::kReplyPayloadStart + payload.size());
    protocol::writeReplyFrame(replyCode, header3, payload, f);
    return f;
}

struct DecodeCase {
    std::string group;        // e.g. "2, 9"
    std::uint32_t model = 0;  // the lowest model code of the group
    std::uint8_t replyCode = 0;
    std::uint8_t header3 = 0;
    unsigned written = 0;             // buffer positions the layout writes
    bool fixedOnly = false;           // chosen among reply codes 1..8
    std::vector<std::uint8_t> frame;  // the full reply frame, L + 1 bytes
};

// Deterministic filler bytes.
std::vector<std::uint8_t> Filler(std::size_t n, std::uint32_t seed);

std::vector<DecodeCase> largestLayoutPerGroup();

}  // namespace kavrol::bench
