#include "util/version.h"

namespace kavrol::util {

std::int32_t shiftMask(std::int32_t value, std::uint32_t maskA, std::uint32_t maskB, std::uint32_t shiftCount,
                       std::uint32_t direction) {
    const unsigned count = shiftCount & 31U;
    auto v = static_cast<std::uint32_t>(value);
    if (direction == 0) {
        // Arithmetic right shift: the sign bit is copied in.
        const std::uint32_t fill = (value < 0 && count != 0) ? ~(~0U >> count) : 0U;
        v = (v >> count) | fill;
    } else if (direction == 1) {
        v <<= count;
    }
    return static_cast<std::int32_t>((v & maskB) | (v & maskA));
}

}  // namespace kavrol::util
