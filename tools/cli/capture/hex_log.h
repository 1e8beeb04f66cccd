// Hex text as captured from a line: one chunk of bytes per line. The
// decoder reads what these tools write:
//   - the monitor's raw log and hand-made lines: an optional time
//     ("12:34:56.789", "15:23", seconds "1.250", or a date and a time
//     "2026-12-10 15:23:46.000"), an optional direction ("host": written by
//     the application, "device": sent back by the device), then hex bytes;
//   - socat -x: a header line "> 2026/12/10 15:23:46.000123  length=5 from=0
//     to=4" whose bytes follow on the next lines (" 05 01 00 05 3d");
//   - interceptty: "< \t0x05\t(^E)", one byte per line with its side and its
//     printable form.
// '<' and '>' name the two sides of such a log without saying which is the
// application: the side is kept, the direction left unknown. A '#' starts a
// comment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/hex.h"

namespace kavrol::tools {

enum class LineDirection { Unknown, Host, Device };

const char* directionWord(LineDirection d);  // "host", "device", "" for Unknown

struct HexChunk {
    unsigned line = 0;
    // Microseconds as written: of the day for a time alone, since
    // 1970-01-01 00:00 for a date and a time.
    std::optional<std::int64_t> timeUs;
    LineDirection direction = LineDirection::Unknown;
    char side = 0;        // '<' or '>' when the line is led by one
    bool header = false;  // a socat header: its bytes follow on the next lines
    Bytes bytes;
    // Tokens of the line that were not bytes, each as "line N: why"; the
    // bytes read around them are kept.
    std::vector<std::string> problems;
};

// Parses one line (or, with lineStart false, a later piece of a long line,
// which has no time or direction). Returns nullopt for a line with nothing
// on it.
std::optional<HexChunk> parseHexLine(std::string_view text, unsigned lineNumber, bool lineStart = true);

// Reads line after line: the lines of a socat block take the time and the
// side of its header.
class HexLogParser {
public:
    std::optional<HexChunk> parse(std::string_view text, unsigned lineNumber);

private:
    bool inBlock_ = false;
    std::optional<std::int64_t> blockTimeUs_;
    char blockSide_ = 0;
};

// All lines of a text.
std::vector<HexChunk> parseHexText(std::string_view text);

// "12:34:56.789" (hours wrap at 24) from microseconds of the day.
std::string clockText(std::int64_t timeUs);

// One raw-log line: "<clock> <direction> <hex>".
std::string rawLogLine(std::int64_t timeUs, LineDirection d, const Bytes& bytes);

}  // namespace kavrol::tools
