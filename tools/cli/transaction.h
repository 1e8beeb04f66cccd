// One transaction through the library's public interface: MuxSendComm,
// then MuxReceiveComm, with the frames on the line recorded alongside.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/hex.h"
#include "kavrol32/kavrol32.h"
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
    Bytes route;                       // at most 9 bytes, multiplexed only
};

inline bool takesRaw(std::uint8_t command) { return protocol::takesRawPayload(command); }

// Why the request cannot go out as one frame, or empty when it can. Checked
// before the port is touched, so a rejected request sends nothing.
std::string checkRequest(const Request& r);

struct Outcome {
    std::int32_t sendResult = 0;
    // MuxReceiveComm's result; the send result when sending failed.
    std::int32_t status = 0;
    Bytes sent;
    Bytes received;
    std::array<std::uint8_t, KAVROL_REPLY_BUFFER_SIZE> buffer{};
    ReplyRecord record{};
    // Positions of the buffer that the model's layout wrote (status 1 only).
    std::array<bool, KAVROL_REPLY_BUFFER_SIZE> written{};
    std::size_t writtenCount() const;
};

// Binds the library to an open port descriptor with a time-out.
void bindPort(int fd, std::uint32_t timeoutMs);

// Sends the request and receives its reply. The buffer and record start
// zeroed. The request must have passed checkRequest.
Outcome runTransaction(const Request& r);

}  // namespace kavrol::cli
