// The reply reader: reads, validates and decodes one reply frame.
#pragma once

#include <cstdint>

namespace kavrol::link {
struct LinkState;
}

namespace kavrol::reply {

// Reads one reply frame from the link, checks length and checksum, turns
// device error codes 247..255 into -12..-4, normalizes the payload for the
// model code and fills the record stage. 1 on success; -2 time-out; -3 read
// failure, bad length or bad checksum. Buffer and record are written only
// when it returns 1. The link keeps the bytes read, as read.
std::int32_t receiveReply(link::LinkState& link, std::uint32_t modelCode, std::uint8_t* buffer, std::uint8_t* record);

// The steps after the frame has been read into the 256-byte receive area:
// checksum, device errors, normalization, record stage.
std::int32_t decodeReply(std::uint32_t modelCode, std::uint8_t* receiveArea, std::uint8_t* buffer,
                         std::uint8_t* record);

}  // namespace kavrol::reply
