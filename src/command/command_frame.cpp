#include "command/command_frame.h"

#include <cstring>

#include "link/checksum.h"
#include "link/timed_io.h"

namespace kavrol::command {

namespace {

constexpr bool isMultiplexed(const CommandArgs& a) { return a.muxMode == 1; }

// Payload length in bytes: raw bytes for commands 8 and 11, up to four
// words otherwise (five or more words send no payload).
unsigned payloadLength(const CommandArgs& a) {
    if (takesRawPayload(a.command)) return a.itemCount;
    return a.itemCount <= 4 ? 2U * a.itemCount : 0U;
}

void writePayload(const CommandArgs& a, std::uint8_t* dest, unsigned length) {
    if (takesRawPayload(a.command)) {
        if (length != 0) std::memcpy(dest, a.rawData, length);
        return;
    }
    for (unsigned i = 0; i < length / 2; ++i) {
        dest[2 * i] = static_cast<std::uint8_t>(a.words[i] & 0xFFU);
        dest[2 * i + 1] = static_cast<std::uint8_t>(a.words[i] >> 8);
    }
}

// Writes a direct-style frame (start byte, last index, command, sub-command,
// checksum slots, payload) at f and returns its length.
unsigned writeInnerFrame(const CommandArgs& a, std::uint8_t* f, unsigned payload) {
    f[0] = kDirectStart;
    f[1] = static_cast<std::uint8_t>(5 + payload);
    f[2] = a.command;
    f[3] = a.subCommand;
    writePayload(a, f + 6, payload);
    return 6 + payload;
}

}  // namespace

std::int32_t BuildCommandFrame(const CommandArgs& args, std::uint8_t (&work)[kWorkAreaSize]) {
    const unsigned payload = payloadLength(args);
    std::memset(work, 0, sizeof work);

    if (!isMultiplexed(args)) {
        if (6 + payload > kWorkAreaSize) return kRejected;
        const unsigned length = writeInnerFrame(args, work, payload);
        link::FillChecksum(work, 0, 2);
        // The direct frame goes out without its start byte.
        std::memmove(work, work + 1, kWorkAreaSize - 1);
        return static_cast<std::int32_t>(length - 1);
    }

    const unsigned n = args.routeCount;
    if (n > kMaxRoute || 10 + n + payload > kWorkAreaSize) return kRejected;
    work[0] = kEnvelopeStart;
    work[3] = static_cast<std::uint8_t>(n);
    std::memcpy(work + 4, args.route, n);
    const unsigned inner = 4 + n;
    const unsigned length = inner + writeInnerFrame(args, work + inner, payload);
    work[1] = static_cast<std::uint8_t>(length - 1);
    link::FillChecksum(work, static_cast<std::int8_t>(inner), 2);
    link::FillChecksum(work, 0, link::kOneByteChecksum);
    return static_cast<std::int32_t>(length);
}

std::int32_t SendCommand(link::LinkState& link, const CommandArgs& args) {
    std::uint8_t work[kWorkAreaSize];
    const std::int32_t length = BuildCommandFrame(args, work);
    if (length < 0) return length;
    return link::TimedWrite(link, work, static_cast<std::uint16_t>(length));
}

}  // namespace kavrol::command
