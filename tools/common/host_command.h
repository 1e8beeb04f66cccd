// A command as a host sends it: the link API's KavrolCommand, the model its
// reply is read as, and the raw bytes of commands 8 and 11. The client, the
// gateway and the soak build this one value; linkCommand() gives what
// kavrol_link_send (or MuxSendComm, field by field) takes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/hex.h"
#include "kavrol32/link.h"

namespace kavrol::tools {

// The fields of KavrolCommand but rawData and rawLength: a pointer into raw
// would dangle in a copy, so linkCommand() fills them for each send. The
// base is private so that a HostCommand cannot be passed where a
// KavrolCommand is taken without linkCommand().
struct HostCommand : private KavrolCommand {
    HostCommand() : KavrolCommand{} {}

    using KavrolCommand::command;
    using KavrolCommand::itemCount;
    using KavrolCommand::muxMode;
    using KavrolCommand::route;
    using KavrolCommand::routeCount;
    using KavrolCommand::subCommand;
    using KavrolCommand::words;

    std::uint32_t model = 0;
    Bytes raw;  // commands 8 and 11 only

    bool multiplexed() const { return muxMode == 1; }
    // The route bytes given (at most 9).
    std::span<const std::uint8_t> routeBytes() const;
    // The words a word command sends: none for commands 8 and 11 and none
    // above four items, as the frame carries them.
    std::span<const std::uint16_t> wordList() const;

    // The command to send: for commands 8 and 11 itemCount, rawData and
    // rawLength describe raw. Valid while this value lives unchanged.
    KavrolCommand linkCommand() const;

    // Stores the route, or says why not (more than 9 bytes; nothing stored).
    std::string setRoute(std::span<const std::uint8_t> bytes);
    // Stores a user's words or raw bytes, as the command (already set) takes
    // them, or says why not (nothing stored).
    std::string setPayload(std::span<const std::uint16_t> wordValues, const Bytes& rawBytes);
};

// Why the command cannot go out as one frame, or empty when it can. Checked
// before the port is touched, so a refused command sends nothing.
std::string checkCommand(const HostCommand& c);

// "direct command 3, sub-command 0, payload 34 12" and the like: the frame
// the library builds for it, as a device decodes it.
std::string describeCommand(const HostCommand& c);

}  // namespace kavrol::tools
