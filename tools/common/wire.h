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

namespace kavrol::tools {

inline constexpr std::uint8_t kDirectStart = 0x3C;    // '<'
inline constexpr std::uint8_t kEnvelopeStart = 0x24;  // '$'
inline constexpr std::uint8_t kReplyStart = 0x3E;     // '>'
inline constexpr unsigned kMaxRoute = 9;
inline constexpr unsigned kMinFrameIndex = 5;          // checksum inside the frame
inline constexpr unsigned kMaxCommandIndex = 49;       // command frames are at most 50 bytes
inline constexpr unsigned kMinEnvelopeIndex = 9;       // envelope of an empty route, no payload
inline constexpr unsigned kMaxReplyIndex = 250;
inline constexpr unsigned kMaxReplyPayload = kMaxReplyIndex - kMinFrameIndex;  // 245
inline constexpr unsigned kMaxDirectRaw = 44;
inline constexpr unsigned kMaxEnvelopeRaw = 40;        // less the route count
inline constexpr std::uint8_t kFirstDeviceError = 247;

struct TwoByteChecksum {
    std::uint8_t odd = 0;   // goes to f[4]
    std::uint8_t even = 0;  // goes to f[5]
};

// Checksum of frame[0..frame[1]] (clipped to the span), f[4] and f[5] as 0.
TwoByteChecksum twoByteChecksum(std::span<const std::uint8_t> frame);
// XOR of frame[0..frame[1]] (clipped to the span), f[2] as 0.
std::uint8_t oneByteChecksum(std::span<const std::uint8_t> frame);
// True when f[4], f[5] hold the two-byte checksum of the frame.
bool twoByteChecksumMatches(std::span<const std::uint8_t> frame);

// One command as it travels: the route is empty for a direct frame.
struct Command {
    bool multiplexed = false;
    Bytes route;
    std::uint8_t command = 0;
    std::uint8_t subCommand = 0;
    Bytes payload;
};

// The bytes a host sends for the command: a direct frame without its start
// byte, or the whole multiplexer envelope.
Bytes encodeCommand(const Command& c);

// "direct command 3, sub-command 0, payload 34 12" and the like.
std::string describeCommand(const Command& c);

// A reply frame: start byte, L = 5 + payload size, reply code, second
// header byte, checksum, payload (at most kMaxReplyPayload bytes).
Bytes replyFrame(std::uint8_t replyCode, std::uint8_t header3, std::span<const std::uint8_t> payload);

// What a host reader that follows the protocol concludes from these bytes,
// if they are all that arrives: it reads two header bytes, rejects L above
// 250 or below 5, reads L - 1 more bytes, checks the checksum and the device
// error codes. Status as the library reports it (1, -2, -3, -4..-12).
struct ReplyVerdict {
    std::int32_t status = 0;
    std::string detail;
};
ReplyVerdict judgeReply(std::span<const std::uint8_t> bytes);

}  // namespace kavrol::tools
