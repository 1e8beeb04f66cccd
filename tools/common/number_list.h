// Numbers as the tools take them on a command line: decimal, or hex with a
// 0x prefix (a leading zero does not mean octal).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavrol::tools {

// One number up to max; nullopt when the text is not one.
std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t max);

// "1,5,0x10": numbers up to max, separated by commas; an empty text gives
// an empty list. On failure nullopt and a one-line reason.
std::optional<std::vector<std::uint32_t>> parseNumberList(std::string_view text, std::uint32_t max,
                                                          std::string* error = nullptr);

}  // namespace kavrol::tools
