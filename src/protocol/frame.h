// Facts of the wire protocol shared by the library and its tools: frame
// bytes and limits, result codes, device error codes.
//
// A frame f runs f[0..f[1]]: start byte, index of the last byte, ... The
// two-byte checksum sits in f[4] and f[5], the one-byte checksum of a
// multiplexer envelope in f[2].
#pragma once

#include <cstdint>

namespace kavrol::protocol {

inline constexpr std::uint8_t kDirectStart = 0x3C;    // '<'
inline constexpr std::uint8_t kEnvelopeStart = 0x24;  // '$'
inline constexpr std::uint8_t kReplyStart = 0x3E;     // '>'

inline constexpr unsigned kMaxRoute = 9;
inline constexpr unsigned kCommandAreaSize = 50;  // a command frame as built
inline constexpr unsigned kMinFrameIndex = 5;     // checksum inside the frame
inline constexpr unsigned kMaxCommandIndex = kCommandAreaSize - 1;
inline constexpr unsigned kInnerHeaderSize = 6;     // start, last, command, sub-command, checksum
inline constexpr unsigned kEnvelopeHeaderSize = 4;  // start, last, checksum, route count
inline constexpr unsigned kMinEnvelopeIndex = kEnvelopeHeaderSize + kInnerHeaderSize - 1;
inline constexpr unsigned kMaxDirectRaw = kCommandAreaSize - kInnerHeaderSize;  // 44
inline constexpr unsigned kMaxEnvelopeRaw =
    kCommandAreaSize - kInnerHeaderSize - kEnvelopeHeaderSize;  // 40, less the route
inline constexpr unsigned kMaxWordItems = 4;                    // more items send no payload

inline constexpr unsigned kMaxReplyIndex = 250;
inline constexpr unsigned kMaxReplyPayload = kMaxReplyIndex - kMinFrameIndex;  // 245
inline constexpr unsigned kReplyHeaderSize = 2;                                // read first: start byte, L
inline constexpr unsigned kReplyPayloadStart = 6;
inline constexpr unsigned kReceiveAreaSize = 256;

// Results of the protocol operations.
inline constexpr std::int32_t kOk = 1;
inline constexpr std::int32_t kRejected = -1;
inline constexpr std::int32_t kTimeout = -2;
inline constexpr std::int32_t kFrameError = -3;

// Reply codes 247..255 are device errors, reported as code - 259 (-12..-4).
inline constexpr std::uint8_t kFirstDeviceError = 247;
inline constexpr std::int32_t kDeviceErrorBias = 259;

constexpr bool isDeviceErrorCode(std::uint8_t replyCode) { return replyCode >= kFirstDeviceError; }
constexpr std::int32_t deviceErrorResult(std::uint8_t replyCode) {
    return static_cast<std::int32_t>(replyCode) - kDeviceErrorBias;
}
constexpr bool isDeviceErrorResult(std::int32_t result) {
    return result >= deviceErrorResult(kFirstDeviceError) && result <= deviceErrorResult(0xFF);
}
// The device error code a result stands for (only for isDeviceErrorResult).
constexpr std::uint8_t deviceErrorCodeOf(std::int32_t result) {
    return static_cast<std::uint8_t>(result + kDeviceErrorBias);
}

// True for a reply length byte L that the reader accepts: the checksum lies
// inside the frame and the frame fits the receive area.
constexpr bool isReplyIndexInRange(unsigned last) { return last >= kMinFrameIndex && last <= kMaxReplyIndex; }

// True for the commands that carry itemCount raw bytes instead of words.
constexpr bool takesRawPayload(std::uint8_t command) { return command == 8 || command == 11; }

}  // namespace kavrol::protocol
