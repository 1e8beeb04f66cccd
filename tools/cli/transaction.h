// One transaction through the library's link API: a send, then a receive,
// with the frames on the line alongside.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/hex.h"
#include "common/host_command.h"
#include "kavrol32/kavrol32.h"
#include "kavrol32/link.h"
#include "protocol/frame.h"

namespace kavrol::cli {

using tools::Bytes;
using tools::HostCommand;

struct Outcome {
    std::int32_t sendResult = 0;
    // The receive's result; the send result when sending failed.
    std::int32_t status = 0;
    Bytes sent;      // the frame the library sends for the command (none when rejected)
    Bytes received;  // what the library read from the port
    // Everything that arrived within the time-out: what the library read,
    // then what it left in the input queue (after a bad header, a truncated
    // frame or noise).
    Bytes arrived;
    double roundTripMs = 0;  // from the send to the end of the receive
    std::array<std::uint8_t, KAVROL_REPLY_BUFFER_SIZE> buffer{};
    ReplyRecord record{};
    // Positions of the buffer that the model's layout wrote (status 1 only).
    std::array<bool, KAVROL_REPLY_BUFFER_SIZE> written{};
    std::size_t writtenCount() const;
};

// One serial line the client talks through: a link of the library bound to
// an open port descriptor, with the time-out of each of its waits. Lines
// share nothing; each may run on its own thread.
class Line {
public:
    Line(int fd, std::uint32_t timeoutMs);

    // Sends the command and receives its reply. The buffer and record start
    // zeroed. The command must have passed checkCommand.
    Outcome transact(const HostCommand& c);

    // Rebinds the link with another time-out for each of its waits.
    void setTimeout(std::uint32_t timeoutMs);
    std::uint32_t timeout() const { return timeoutMs_; }

    // True when the last transaction found the port hung up or gone.
    bool portLost() const { return kavrol_link_port_lost(&link_) == 1; }

private:
    KavrolLink link_;
    int fd_;
    std::uint32_t timeoutMs_;
};

}  // namespace kavrol::cli
