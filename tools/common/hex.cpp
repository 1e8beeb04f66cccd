#include "common/hex.h"

namespace kavrol::tools {

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isSeparator(char c) { return c == ' ' || c == ',' || c == ':' || c == '\t'; }

}  // namespace

std::optional<Bytes> parseHex(std::string_view text, std::string* error) {
    auto fail = [error](std::string why) -> std::optional<Bytes> {
        if (error != nullptr) *error = std::move(why);
        return std::nullopt;
    };
    Bytes out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (isSeparator(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !isSeparator(text[end])) ++end;
        std::string_view token = text.substr(i, end - i);
        if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) token.remove_prefix(2);
        if (token.size() % 2 != 0) {
            return fail("odd number of hex digits in '" + std::string(text.substr(i, end - i)) + "'");
        }
        for (std::size_t k = 0; k < token.size(); k += 2) {
            const int hi = digitValue(token[k]);
            const int lo = digitValue(token[k + 1]);
            if (hi < 0 || lo < 0) return fail("not a hex digit in '" + std::string(text.substr(i, end - i)) + "'");
            out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        }
        i = end;
    }
    return out;
}

std::string hexByte(std::uint8_t byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

std::string toHex(std::span<const std::uint8_t> bytes, char sep) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0 && sep != 0) out.push_back(sep);
        out += hexByte(bytes[i]);
    }
    return out;
}

std::string printableAscii(std::span<const std::uint8_t> bytes) {
    std::string s;
    for (std::uint8_t b : bytes) s.push_back(b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.');
    return s;
}

}  // namespace kavrol::tools
