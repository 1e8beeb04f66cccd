#include "reply/reply_reader.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "link/link_state.h"
#include "link/timed_io.h"
#include "protocol/checksum.h"
#include "protocol/frame.h"
#include "reply/layout.h"
#include "reply/model_groups.h"
#include "reply/record_stage.h"

namespace kavrol::reply {

namespace {
// Reads count bytes into area[offset..] and, when they came, appends them to
// the link's copy of what was read.
std::int32_t readKept(link::LinkState& link, std::uint8_t* area, unsigned offset, unsigned count) {
    const std::int32_t result = link::timedRead(link, area + offset, static_cast<std::uint16_t>(count));
    if (result == link::kOk) {
        std::memcpy(link.received + offset, area + offset, count);
        link.receivedCount = static_cast<std::uint16_t>(offset + count);
    }
    return result;
}

}  // namespace

std::int32_t decodeReply(std::uint32_t modelCode, std::uint8_t* r, std::uint8_t* buffer, std::uint8_t* record) {
    // The frame as far as L reaches, never shorter than the checksum bytes.
    const std::size_t size = std::max<std::size_t>(r[1] + 1U, protocol::kTwoByteEvenAt + 1);
    const bool matches = protocol::twoByteChecksumMatches({r, size});
    // The stored checksum is not put back: the layouts that read r[4] and
    // r[5] see zeros there, whatever the outcome.
    r[protocol::kTwoByteOddAt] = 0;
    r[protocol::kTwoByteEvenAt] = 0;
    if (!matches) return link::kReadFailed;
    const std::uint8_t replyCode = r[2];
    if (protocol::isDeviceErrorCode(replyCode)) return protocol::deviceErrorResult(replyCode);
    if (const GroupLayouts* group = groupForModel(modelCode)) normalize(*group, replyCode, r, buffer);
    fillReplyRecord(replyCode, buffer, record);
    return link::kOk;
}

std::int32_t receiveReply(link::LinkState& link, std::uint32_t modelCode, std::uint8_t* buffer, std::uint8_t* record) {
    // Zero-filled, so that fixed source positions past the frame read 0.
    std::uint8_t r[kReceiveAreaSize] = {};
    link.receivedCount = 0;
    std::int32_t result = readKept(link, r, 0, 2);
    if (result != link::kOk) return result;
    const unsigned last = r[1];
    // Below 5 the checksum lies outside the frame; above 250 it is no frame.
    if (!protocol::isReplyIndexInRange(last)) return link::kReadFailed;
    result = readKept(link, r, 2, last - 1);
    if (result != link::kOk) return result;
    return decodeReply(modelCode, r, buffer, record);
}

}  // namespace kavrol::reply
