// Numbers as the tools take them on a command line: decimal, or hex with a
// 0x prefix (a leading zero does not mean octal). Spaces around a number
// are ignored, so that "1, 5" reads as "1,5".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/hex.h"

namespace kavrol::tools {

// One number up to max; nullopt when the text is not one, with a one-line
// reason ("'x' is not a number 0..N" or "'x' is too large (at most N)").
std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t max, std::string* error = nullptr);

// "1,5,0x10": numbers up to max, separated by commas; an empty text gives
// an empty list. On failure nullopt and a one-line reason.
std::optional<std::vector<std::uint32_t>> parseNumberList(std::string_view text, std::uint32_t max,
                                                          std::string* error = nullptr);

// A multiplexer route "1,5": 1 to 9 bytes. On failure nullopt and a reason.
std::optional<Bytes> parseRoute(std::string_view text, std::string* error);

}  // namespace kavrol::tools
