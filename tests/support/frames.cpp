#include "support/frames.h"

#include <stdexcept>

namespace kavrol::test {

Bytes replyFrame(std::uint8_t replyCode, std::uint8_t header3, const Bytes& payload, std::uint8_t start) {
    if (payload.size() > 245) throw std::invalid_argument("payload too long");
    Bytes f(6 + payload.size(), 0);
    f[0] = start;
    f[1] = static_cast<std::uint8_t>(5 + payload.size());
    f[2] = replyCode;
    f[3] = header3;
    std::copy(payload.begin(), payload.end(), f.begin() + 6);
    std::uint8_t even = 0;
    std::uint8_t odd = 0;
    for (std::size_t i = 0; i < f.size(); ++i) ((i % 2 == 0) ? even : odd) ^= f[i];
    f[4] = odd;
    f[5] = even;
    return f;
}

Bytes withBadChecksum(Bytes frame) {
    frame[4] ^= 0x01;
    return frame;
}

Bytes receiveArea(const Bytes& frame) {
    Bytes r(256, 0);
    std::copy(frame.begin(), frame.end(), r.begin());
    return r;
}

Bytes payloadWith(unsigned last, std::initializer_list<std::pair<unsigned, std::uint8_t>> bytes, std::uint8_t fill) {
    Bytes p(last >= 6 ? last - 5 : 0, fill);
    for (const auto& [pos, value] : bytes) {
        if (pos < 6 || pos > last) throw std::invalid_argument("position outside payload");
        p[pos - 6] = value;
    }
    return p;
}

Bytes payloadFrom(unsigned last, std::uint8_t (*byteAt)(unsigned j)) {
    Bytes p;
    for (unsigned j = 6; j <= last; ++j) p.push_back(byteAt(j));
    return p;
}

Bytes frameWithLength(unsigned last, std::uint8_t replyCode, std::uint8_t fill) {
    if (last >= 5 && last <= 250) return replyFrame(replyCode, 0, Bytes(last - 5, fill));
    Bytes f(last + 1U < 3 ? 3 : last + 1U, fill);
    f[0] = 0x3E;
    f[1] = static_cast<std::uint8_t>(last);
    f[2] = replyCode;
    return f;
}

}  // namespace kavrol::test
