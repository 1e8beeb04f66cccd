#include "reply/reply_reader.h"

#include "link/checksum.h"
#include "link/timed_io.h"
#include "protocol/frame.h"
#include "reply/layout.h"
#include "reply/model_groups.h"
#include "reply/record_stage.h"

namespace kavrol::reply {

std::int32_t DecodeReply(std::uint32_t modelCode, std::uint8_t* r, std::uint8_t* buffer, std::uint8_t* record) {
    if (!link::VerifyChecksum(r)) return link::kReadFailed;
    const std::uint8_t replyCode = r[2];
    if (protocol::isDeviceErrorCode(replyCode)) return protocol::deviceErrorResult(replyCode);
    if (const GroupLayouts* group = GroupForModel(modelCode)) Normalize(*group, replyCode, r, buffer);
    FillReplyRecord(replyCode, buffer, record);
    return link::kOk;
}

std::int32_t ReceiveReply(std::uint32_t modelCode, std::uint8_t* buffer, std::uint8_t* record) {
    // Zero-filled, so that fixed source positions past the frame read 0.
    std::uint8_t r[kReceiveAreaSize] = {};
    std::int32_t result = link::TimedRead(r, 2);
    if (result != link::kOk) return result;
    const unsigned last = r[1];
    // Below 5 the checksum lies outside the frame; above 250 it is no frame.
    if (!protocol::isReplyIndexInRange(last)) return link::kReadFailed;
    result = link::TimedRead(r + 2, static_cast<std::uint16_t>(last - 1));
    if (result != link::kOk) return result;
    return DecodeReply(modelCode, r, buffer, record);
}

}  // namespace kavrol::reply
