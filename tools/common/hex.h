// Hex text <-> bytes, as the tools read and print frames.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kavrol::tools {

using Bytes = std::vector<std::uint8_t>;

// Parses bytes written as hex pairs. Pairs may run together ("0A1B") or be
// separated by spaces, commas, colons or tabs; a token may carry a "0x"
// prefix. An empty text gives no bytes. On failure returns nullopt and, when
// error is given, a one-line reason.
std::optional<Bytes> parseHex(std::string_view text, std::string* error = nullptr);

// "0A 1B 2C" (upper case, one separator between bytes; none if sep is 0).
std::string toHex(std::span<const std::uint8_t> bytes, char sep = ' ');

// The bytes as text: printable ASCII as it is, every other byte as '.'.
std::string printableAscii(std::span<const std::uint8_t> bytes);

// Two upper-case hex digits.
std::string hexByte(std::uint8_t byte);

}  // namespace kavrol::tools
