// The link API: the protocol calls of the eleven exports, each on the
// caller's own link. Arguments the calls cannot work with (a null pointer,
// an object no init has started, a command that does not add up) give -1
// before any port call.
#include "kavrol32/link.h"

#include <algorithm>
#include <cstring>

#include "command/command_frame.h"
#include "link/link_state.h"
#include "link/timed_io.h"
#include "protocol/checksum.h"
#include "protocol/frame.h"
#include "protocol/result_names.h"
#include "reply/reply_reader.h"

namespace {

constexpr std::int32_t kRejected = -1;

// The frame reads exactly rawLength bytes from rawData, and they exist.
bool rawDataMatches(const KavrolCommand& c) {
    if (c.rawLength != kavrol::command::rawBytesRead(c)) return false;
    return c.rawLength == 0 || c.rawData != nullptr;
}

// Copies what a link kept (at most capacity bytes) to dest; their count.
int32_t copyKept(const uint8_t* kept, uint32_t count, uint8_t* dest, uint32_t capacity) {
    if (dest == nullptr) return 0;
    const uint32_t n = std::min(count, capacity);
    if (n != 0) std::memcpy(dest, kept, n);
    return static_cast<int32_t>(n);
}

}  // namespace

extern "C" {

int32_t kavrol_link_init(KavrolLink* link, void* portHandle, uint32_t timeoutMs) {
    if (link == nullptr) return kRejected;
    kavrol::link::bindPort(kavrol::link::startLink(*link), portHandle, timeoutMs);
    return 1;
}

int32_t kavrol_link_send(KavrolLink* link, const KavrolCommand* command) {
    kavrol::link::LinkState* state = kavrol::link::contextOf(link);
    if (state == nullptr) return kRejected;
    state->sentCount = 0;
    if (command == nullptr) return kRejected;
    if (command->routeCount > kavrol::command::kMaxRoute || !rawDataMatches(*command)) return kRejected;
    return kavrol::command::sendCommand(*state, *command);
}

int32_t kavrol_link_receive(KavrolLink* link, uint32_t modelCode, uint8_t* buffer, ReplyRecord* record) {
    kavrol::link::LinkState* state = kavrol::link::contextOf(link);
    if (state == nullptr || buffer == nullptr || record == nullptr) return kRejected;
    return kavrol::reply::receiveReply(*state, modelCode, buffer, reinterpret_cast<uint8_t*>(record));
}

int32_t kavrol_link_ack(KavrolLink* link, uint32_t value) {
    kavrol::link::LinkState* state = kavrol::link::contextOf(link);
    if (state == nullptr) return kRejected;
    kavrol::link::sendAck(*state, static_cast<uint8_t>(value & 0xFFU));
    return 1;
}

int32_t kavrol_link_port_lost(const KavrolLink* link) {
    const kavrol::link::LinkState* state = kavrol::link::contextOf(link);
    return state != nullptr && state->portLost ? 1 : 0;
}

int32_t kavrol_link_last_received(const KavrolLink* link, uint8_t* dest, uint32_t capacity) {
    const kavrol::link::LinkState* state = kavrol::link::contextOf(link);
    if (state == nullptr) return 0;
    return copyKept(state->received, state->receivedCount, dest, capacity);
}

int32_t kavrol_link_last_sent(const KavrolLink* link, uint8_t* dest, uint32_t capacity) {
    const kavrol::link::LinkState* state = kavrol::link::contextOf(link);
    if (state == nullptr) return 0;
    return copyKept(state->sent, state->sentCount, dest, capacity);
}

int32_t kavrol_frame_checksum(const uint8_t* frame, uint32_t length, uint8_t* computed) {
    if (frame == nullptr || computed == nullptr || length < kavrol::protocol::kMinFrameIndex + 1U) return 0;
    const uint32_t last = frame[1];
    if (last < kavrol::protocol::kMinFrameIndex || length < last + 1U) return 0;
    const kavrol::protocol::TwoByteChecksum sum = kavrol::protocol::twoByteChecksum({frame, last + 1U});
    computed[0] = sum.odd;
    computed[1] = sum.even;
    return 1;
}

const char* kavrol_result_name(int32_t result) { return kavrol::protocol::resultName(result); }

}  // extern "C"
