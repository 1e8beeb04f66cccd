// Hex text as captured from a line: one chunk of bytes per line, each line
// optionally led by a timestamp ("12:34:56.789" or seconds "1.250") and a
// direction ("host": written by the application, "device": sent back by the
// device). A '#' starts a comment. The monitor writes its raw log in this
// form and the decoder reads it back.
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
    std::optional<std::int64_t> timeUs;  // microseconds as written (of the day for HH:MM:SS)
    LineDirection direction = LineDirection::Unknown;
    Bytes bytes;
    // Tokens of the line that were not bytes, each as "line N: why"; the
    // bytes read around them are kept.
    std::vector<std::string> problems;
};

// Parses one line. Returns nullopt for a line with nothing on it.
std::optional<HexChunk> parseHexLine(std::string_view text, unsigned lineNumber);

// All lines of a text.
std::vector<HexChunk> parseHexText(std::string_view text);

// "12:34:56.789" (hours wrap at 24) from microseconds of the day.
std::string clockText(std::int64_t timeUs);

// One raw-log line: "<clock> <direction> <hex>".
std::string rawLogLine(std::int64_t timeUs, LineDirection d, const Bytes& bytes);

}  // namespace kavrol::tools
