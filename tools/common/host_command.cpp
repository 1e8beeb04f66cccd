#include "common/host_command.h"

#include <algorithm>

#include "command/command_frame.h"
#include "common/wire.h"
#include "protocol/command_decoding.h"

namespace kavrol::tools {

namespace {

using protocol::takesRawPayload;

std::string rawForWordCommand(std::uint8_t command) {
    return "only commands 8 and 11 take raw bytes; use --words for command " + std::to_string(command);
}

std::string tooManyWords(std::size_t count) { return "at most 4 words, " + std::to_string(count) + " given"; }

std::string tooLongRoute(std::size_t count) {
    return "a route has at most 9 bytes, " + std::to_string(count) + " given";
}

// Above 255 bytes itemCount cannot say the length: rawLength then disagrees
// with it and the library sends nothing.
std::uint8_t rawItemCount(const Bytes& raw) {
    return static_cast<std::uint8_t>(std::min<std::size_t>(raw.size(), 255));
}

}  // namespace

std::span<const std::uint8_t> HostCommand::routeBytes() const {
    return std::span(route, std::min<std::size_t>(routeCount, kMaxRoute));
}

std::span<const std::uint16_t> HostCommand::wordList() const {
    if (takesRawPayload(command) || itemCount > protocol::kMaxWordItems) return {};
    return std::span(words, itemCount);
}

KavrolCommand HostCommand::linkCommand() const {
    KavrolCommand c = *this;
    c.rawData = nullptr;
    c.rawLength = 0;
    if (takesRawPayload(c.command)) {
        c.itemCount = rawItemCount(raw);
        c.rawData = raw.empty() ? nullptr : raw.data();
        c.rawLength = static_cast<std::uint32_t>(raw.size());
    }
    return c;
}

std::string HostCommand::setRoute(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > kMaxRoute) return tooLongRoute(bytes.size());
    std::copy(bytes.begin(), bytes.end(), route);
    routeCount = static_cast<std::uint8_t>(bytes.size());
    return {};
}

std::string HostCommand::setPayload(std::span<const std::uint16_t> wordValues, const Bytes& rawBytes) {
    if (takesRawPayload(command)) {
        if (!wordValues.empty()) return "command " + std::to_string(command) + " takes raw bytes (--raw), not words";
        raw = rawBytes;
        itemCount = rawItemCount(raw);
        return {};
    }
    if (!rawBytes.empty()) return rawForWordCommand(command);
    if (wordValues.size() > protocol::kMaxWordItems) return tooManyWords(wordValues.size());
    std::copy(wordValues.begin(), wordValues.end(), words);
    itemCount = static_cast<std::uint8_t>(wordValues.size());
    raw.clear();
    return {};
}

std::string checkCommand(const HostCommand& c) {
    const std::size_t route = c.routeCount;
    if (route > kMaxRoute) return tooLongRoute(route);
    if (!c.multiplexed() && route != 0) return "a route needs a multiplexed frame";
    if (takesRawPayload(c.command)) {
        const std::size_t limit = c.multiplexed() ? kMaxEnvelopeRaw - route : kMaxDirectRaw;
        if (c.raw.size() > limit) {
            return "raw payload of " + std::to_string(c.raw.size()) + " bytes does not fit the frame (at most " +
                   std::to_string(limit) + (c.multiplexed() ? " with this route)" : " in a direct frame)");
        }
        return {};
    }
    if (!c.raw.empty()) return rawForWordCommand(c.command);
    if (c.itemCount > protocol::kMaxWordItems) return tooManyWords(c.itemCount);
    return {};
}

std::string describeCommand(const HostCommand& c) {
    std::uint8_t work[command::kWorkAreaSize];
    const std::int32_t n = command::buildCommandFrame(c.linkCommand(), work);
    if (n < 0) {
        return "command " + std::to_string(c.command) + ", sub-command " + std::to_string(c.subCommand) +
               ", which does not fit a frame";
    }
    const auto form = c.multiplexed() ? protocol::CommandForm::Multiplexed : protocol::CommandForm::Direct;
    return describeCommand(protocol::decodeCommandFrame(std::span(work, static_cast<std::size_t>(n)), form).fields);
}

}  // namespace kavrol::tools
