#include "reply/coverage.h"

#include <cstring>

#include "reply/model_groups.h"

namespace kavrol::reply {

// Every layout writes values that do not depend on the buffer's previous
// content, so a position is written exactly when one of two runs, over
// buffers of all zeros and all ones, changes it.
void layoutCoverage(std::uint32_t modelCode, const std::uint8_t* receiveArea, bool (&written)[kReplyBufferSize]) {
    std::uint8_t r[kReceiveAreaSize];
    std::memcpy(r, receiveArea, sizeof r);
    r[4] = r[5] = 0;
    std::uint8_t zeros[kReplyBufferSize];
    std::uint8_t ones[kReplyBufferSize];
    std::memset(zeros, 0x00, sizeof zeros);
    std::memset(ones, 0xFF, sizeof ones);
    if (const GroupLayouts* group = groupForModel(modelCode)) {
        normalize(*group, r[2], r, zeros);
        normalize(*group, r[2], r, ones);
    }
    for (unsigned k = 0; k < kReplyBufferSize; ++k) written[k] = zeros[k] != 0x00 || ones[k] != 0xFF;
}

}  // namespace kavrol::reply
