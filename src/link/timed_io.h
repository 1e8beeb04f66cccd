// Blocking port operations of one link, bounded by the link's time-out.
#pragma once

#include <cstdint>

namespace kavrol::link {

struct LinkState;

inline constexpr std::int32_t kOk = 1;
inline constexpr std::int32_t kTimeout = -2;
inline constexpr std::int32_t kReadFailed = -3;

// Binds the link to a port (Init_Msg_Bin).
void bindPort(LinkState& link, void* portHandle, std::uint32_t timeoutMs);

// Purges both sides, writes the block and waits until the output queue is
// empty: 1, or -2 on time-out.
std::int32_t timedWrite(LinkState& link, const std::uint8_t* bytes, std::uint16_t count);

// Waits until count bytes have arrived and reads exactly those: 1, -2 on
// time-out, -3 when the read call fails. A count of 0 returns 1 after one
// pass of the wait. A host that can bound a read in its driver reads the
// bytes as they arrive; a time-out then consumes those that came.
std::int32_t timedRead(LinkState& link, std::uint8_t* dest, std::uint16_t count);

// Writes one byte without purging and waits for the output queue to empty.
void sendAck(LinkState& link, std::uint8_t byte);

}  // namespace kavrol::link
