// One transaction through the library's link API: a send, then a receive,
// with the frames on the line alongside.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/hex.h"
#include "common/wire.h"
#include "kavrol32/kavrol32.h"
#include "kavrol32/link.h"
#include "protocol/frame.h"

namespace kavrol::cli {

using tools::Bytes;

struct Request {
    std::uint32_t model = 0;
    std::uint8_t command = 0;
    std::uint8_t subCommand = 0;
    std::vector<std::uint16_t> words;  // at most 4; not for commands 8 and 11
    Bytes raw;                         // commands 8 and 11 only
    bool multiplexed = false;
    Bytes route;  // at most 9 bytes, multiplexed only
};

inline bool takesRaw(std::uint8_t command) { return protocol::takesRawPayload(command); }

// Why the request cannot go out as one frame, or empty when it can. Checked
// before the port is touched, so a rejected request sends nothing.
std::string checkRequest(const Request& r);

// The request as it travels on the line.
tools::Command wireCommand(const Request& r);

struct Outcome {
    std::int32_t sendResult = 0;
    // The receive's result; the send result when sending failed.
    std::int32_t status = 0;
    Bytes sent;      // the frame the library sends for the request (none when rejected)
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

    // Sends the request and receives its reply. The buffer and record start
    // zeroed. The request must have passed checkRequest.
    Outcome transact(const Request& r);

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
