// Which buffer positions a model's layout writes for one reply frame.
#pragma once

#include <cstdint>

#include "reply/layout.h"

namespace kavrol::reply {

// Marks in `written` the positions of the caller's buffer that the layout
// of modelCode writes for the frame in receiveArea (256 bytes, as read; the
// checksum positions do not matter). Positions not written are false.
void layoutCoverage(std::uint32_t modelCode, const std::uint8_t* receiveArea, bool (&written)[kReplyBufferSize]);

}  // namespace kavrol::reply
