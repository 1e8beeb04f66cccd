// Captures for packet analysers: a classic pcap file (microsecond
// timestamps, little-endian) of link type DLT_USER0 with one packet per
// frame. Each packet starts with a 4-byte pseudo-header:
//   byte 0  version, 1
//   byte 1  direction: 0 unknown, 1 from the host (commands), 2 from the device (replies)
//   byte 2  what the capturing tool found: 1 command, 2 reply, 3 cut frame, 4 noise,
//          5 bad frame (a reply start byte with an impossible length byte),
//          6 annotation: a line of text from the capturing tool ("reply missing ...")
//   byte 3  flags: bit 0 set for a command in a multiplexer envelope
// followed by the bytes as they were on the line (a direct command frame
// without its start byte).
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <stdexcept>
#include <string>

#include "cli/capture/tap_finder.h"

namespace kavrol::tools {

inline constexpr std::uint32_t kPcapLinkTypeUser0 = 147;
inline constexpr std::size_t kPseudoHeaderSize = 4;

// The packet body (pseudo-header and bytes) for one frame.
Bytes pcapPacket(const FoundFrame& f);
inline constexpr std::uint8_t kPcapAnnotation = 6;

// The capture file could not be created (as opposed to written later).
class PcapCreateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PcapWriter {
public:
    // Creates or truncates the file and writes the file header. Throws
    // PcapCreateError when the file cannot be created, std::runtime_error
    // when it (or a packet later) cannot be written.
    explicit PcapWriter(const std::string& path);
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // One packet at timeUs (microseconds since whatever epoch the caller uses).
    void write(const FoundFrame& f, std::int64_t timeUs);
    // An annotation packet (direction 0, kind 6) holding the text.
    void writeNote(const std::string& text, std::int64_t timeUs);

private:
    void writePacket(const Bytes& body, std::int64_t timeUs);
    void put(std::span<const std::uint8_t> bytes);
    std::FILE* file_ = nullptr;
    std::string path_;
};

}  // namespace kavrol::tools
