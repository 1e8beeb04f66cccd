// The device side of the line: finds command frames in the byte stream from
// the host, each reading judged by protocol::decodeCommandFrame.
//
// A direct frame arrives without its start byte: its first byte is its last
// index L (5..49) and L bytes arrive in all. A multiplexed frame starts with
// 0x24 and holds f[1] + 1 bytes. A byte 0x24 can also open a direct frame of
// L = 36, so both readings are tried. Bytes that begin no valid frame are
// given up one at a time, which finds the next frame after garbage; a
// complete envelope that fails a check is given up whole, so that the
// inner frame it carries is not answered as a direct command.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/wire.h"

namespace kavrol::tools {

struct ScanResult {
    enum class Kind { Frame, Dropped };
    Kind kind = Kind::Dropped;
    Bytes bytes;  // Frame: the bytes of the frame; Dropped: the bytes given up
    protocol::CommandForm form = protocol::CommandForm::Direct;  // Frame: how it came
    std::string reason;                                          // Dropped: why the first of them began no frame

    // Frame: the decoded command, as spans into bytes.
    protocol::CommandFrameFields fields() const { return commandFieldsOf(bytes, form); }
};

class DeviceScanner {
public:
    void feed(std::span<const std::uint8_t> bytes);

    // The next frame or run of dropped bytes, if one can be decided now.
    // With gapExpired (no byte has come for a while) an incomplete frame at
    // the front is given up as well. Consecutive dropped bytes are returned
    // as one run, once a frame follows them or nothing more can be decided.
    std::optional<ScanResult> next(bool gapExpired);

    // True while undecided bytes wait for more input.
    bool pending() const { return !buffer_.empty(); }

private:
    std::optional<ScanResult> takeDropped();

    Bytes buffer_;
    Bytes dropped_;
    std::string droppedReason_;
};

}  // namespace kavrol::tools
