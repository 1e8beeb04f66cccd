#include "command/command_frame.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "link/link_state.h"
#include "link/timed_io.h"
#include "protocol/command_encoding.h"

namespace kavrol::command {

std::int32_t buildCommandFrame(const Command& args, std::uint8_t (&work)[kWorkAreaSize]) {
    std::memset(work, 0, sizeof work);
    std::uint8_t words[2 * protocol::kMaxWordItems] = {};
    protocol::CommandFrameFields fields;
    fields.multiplexed = args.muxMode == 1;
    fields.route = std::span(args.route, std::min<unsigned>(args.routeCount, kMaxRoute));
    fields.command = args.command;
    fields.subCommand = args.subCommand;
    if (takesRawPayload(args.command)) {
        if (args.itemCount != 0) fields.payload = std::span(args.rawData, args.itemCount);
    } else {
        fields.payload = std::span(words, protocol::writeWordPayload(args.words, args.itemCount, words));
    }
    if (fields.multiplexed && args.routeCount > kMaxRoute) return kRejected;
    return protocol::encodeCommandFrame(fields, work);
}

std::int32_t sendCommand(link::LinkState& link, const Command& args) {
    std::uint8_t work[kWorkAreaSize];
    const std::int32_t length = buildCommandFrame(args, work);
    link.sentCount = 0;
    if (length < 0) return length;
    // Kept for kavrol_link_last_sent: what goes to the port, as it goes.
    std::memcpy(link.sent, work, static_cast<std::size_t>(length));
    link.sentCount = static_cast<std::uint8_t>(length);
    return link::timedWrite(link, work, static_cast<std::uint16_t>(length));
}

}  // namespace kavrol::command
