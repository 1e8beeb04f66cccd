#include "protocol/reply_frame.h"

#include <algorithm>

namespace kavrol::protocol {

std::size_t writeReplyFrame(std::uint8_t replyCode, std::uint8_t header3, std::span<const std::uint8_t> payload,
                            std::span<std::uint8_t> out) {
    const std::size_t size = kReplyPayloadStart + payload.size();
    if (payload.size() > kMaxReplyPayload || out.size() < size) return 0;
    out[0] = kReplyStart;
    out[1] = static_cast<std::uint8_t>(size - 1);
    out[2] = replyCode;
    out[3] = header3;
    std::copy(payload.begin(), payload.end(), out.begin() + kReplyPayloadStart);
    fillTwoByteChecksum(out.first(size));
    return size;
}

const char* replyFaultName(ReplyFault f) {
    switch (f) {
        case ReplyFault::None: return "none";
        case ReplyFault::NoReply: return "no-reply";
        case ReplyFault::HeaderCut: return "header-cut";
        case ReplyFault::LengthAboveRange: return "length-above-range";
        case ReplyFault::LengthBelowRange: return "length-below-range";
        case ReplyFault::RestCut: return "cut";
        case ReplyFault::ChecksumMismatch: return "checksum-mismatch";
        case ReplyFault::DeviceError: return "device-error";
    }
    return "unknown";
}

ReplyJudgement judgeReply(std::span<const std::uint8_t> bytes) {
    ReplyJudgement j;
    j.arrived = bytes.size();
    if (bytes.size() < kReplyHeaderSize) {
        j.fault = bytes.empty() ? ReplyFault::NoReply : ReplyFault::HeaderCut;
        return j;
    }
    j.last = bytes[1];
    if (!isReplyIndexInRange(j.last)) {
        j.status = kFrameError;
        j.fault = j.last > kMaxReplyIndex ? ReplyFault::LengthAboveRange : ReplyFault::LengthBelowRange;
        return j;
    }
    if (bytes.size() < j.last + 1U) {
        j.fault = ReplyFault::RestCut;
        return j;
    }
    const auto frame = bytes.first(j.last + 1U);
    if (!twoByteChecksumMatches(frame)) {
        j.status = kFrameError;
        j.fault = ReplyFault::ChecksumMismatch;
        j.computed = twoByteChecksum(frame);
        return j;
    }
    j.replyCode = frame[2];
    if (isDeviceErrorCode(j.replyCode)) {
        j.status = deviceErrorResult(j.replyCode);
        j.fault = ReplyFault::DeviceError;
        return j;
    }
    j.status = kOk;
    j.fault = ReplyFault::None;
    return j;
}

}  // namespace kavrol::protocol
