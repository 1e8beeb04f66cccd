// The wire protocol as a device sees it: checksums, command frames in both
// forms, reply frames, and how a host reader judges the bytes of a reply.
//
// A frame f runs f[0..f[1]]: start byte, index of the last byte, ... The
// two-byte checksum sits in f[4] (XOR of the odd positions) and f[5] (XOR of
// the even positions); the one-byte checksum of a multiplexer envelope in
// f[2] (XOR of the whole frame). Checksum positions count as 0.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/hex.h"
#include "protocol/checksum.h"
#include "protocol/command_decoding.h"
#include "protocol/frame.h"

namespace kavrol::tools {

using protocol::kDirectStart;
using protocol::kEnvelopeStart;
using protocol::kFirstDeviceError;
using protocol::kMaxCommandIndex;
using protocol::kMaxDirectRaw;
using protocol::kMaxEnvelopeRaw;  // less the route count
using protocol::kMaxReplyIndex;
using protocol::kMaxReplyPayload;
using protocol::kMaxRoute;
using protocol::kMinEnvelopeIndex;
using protocol::kMinFrameIndex;
using protocol::kOneByteAt;
using protocol::kReplyPayloadStart;
using protocol::kReplyStart;
using protocol::kTwoByteEvenAt;
using protocol::kTwoByteOddAt;
inline constexpr std::size_t kReplyCodeAt = 2;
inline constexpr std::size_t kHeader3At = 3;
inline constexpr std::size_t kRouteCountAt = 3;  // of an envelope

using protocol::oneByteChecksum;
using protocol::TwoByteChecksum;
using protocol::twoByteChecksum;
using protocol::twoByteChecksumMatches;

// The fields of the command frame `bytes` holds in `form` (decoded again
// on each call, as spans into `bytes`): filled for a valid frame and for one
// whose checksum fails, empty otherwise.
protocol::CommandFrameFields commandFieldsOf(std::span<const std::uint8_t> bytes, protocol::CommandForm form);

// Why the decoding of `bytes` is not a valid frame, in words (empty for
// CommandFault::None).
std::string commandFaultText(const protocol::CommandDecoding& d, std::span<const std::uint8_t> bytes);

// "direct command 3, sub-command 0, payload 34 12" and the like.
std::string describeCommand(const protocol::CommandFrameFields& fields);

// A reply frame: start byte, L = 5 + payload size, reply code, second
// header byte, checksum, payload (at most kMaxReplyPayload bytes).
Bytes replyFrame(std::uint8_t replyCode, std::uint8_t header3, std::span<const std::uint8_t> payload);

// What a host reader that follows the protocol concludes from these bytes,
// if they are all that arrives (protocol::judgeReply), with the reason in
// words. Status as the library reports it (1, -2, -3, -4..-12).
struct ReplyVerdict {
    std::int32_t status = 0;
    std::string detail;
};
ReplyVerdict judgeReply(std::span<const std::uint8_t> bytes);

// For bytes read as a reply whose first byte is not the start byte 3E (the
// library does not look at it): "; 57 is not the start byte 3E, a valid
// reply follows at offset 2" and the like. Empty when the first byte is 3E.
std::string startByteNote(std::span<const std::uint8_t> bytes);

}  // namespace kavrol::tools
