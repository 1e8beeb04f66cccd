#include "cli/capture/hex_log.h"

#include <cctype>
#include <charconv>
#include <cstdio>

namespace kavrol::tools {

namespace {

bool isHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
    }
    return true;
}

std::int64_t number(std::string_view s) {
    std::int64_t v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

// Microseconds of a fraction written after the point ("5" = 500000).
std::int64_t fractionUs(std::string_view digits) {
    std::string six(digits.substr(0, 6));
    six.resize(6, '0');
    return number(six);
}

// "HH:MM:SS.fff" or "SSS.fff"; a fraction is required so that a run of hex
// pairs separated by colons is not taken for a time.
std::optional<std::int64_t> parseTimestamp(std::string_view t) {
    const auto dot = t.find('.');
    if (dot == std::string_view::npos || !allDigits(t.substr(dot + 1))) return std::nullopt;
    const std::string_view whole = t.substr(0, dot);
    const std::int64_t frac = fractionUs(t.substr(dot + 1));
    if (allDigits(whole)) return number(whole) * 1000000 + frac;
    if (whole.size() < 5 || whole[whole.size() - 3] != ':') return std::nullopt;
    const auto first = whole.find(':');
    if (first == whole.size() - 3) return std::nullopt;
    const std::string_view h = whole.substr(0, first);
    const std::string_view m = whole.substr(first + 1, whole.size() - 4 - first);
    const std::string_view s = whole.substr(whole.size() - 2);
    if (!allDigits(h) || !allDigits(m) || !allDigits(s) || m.size() != 2) return std::nullopt;
    return ((number(h) * 60 + number(m)) * 60 + number(s)) * 1000000 + frac;
}

std::optional<LineDirection> parseDirection(std::string_view t) {
    if (!t.empty() && t.back() == ':') t.remove_suffix(1);
    std::string lower;
    for (char c : t) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "host") return LineDirection::Host;
    if (lower == "device") return LineDirection::Device;
    return std::nullopt;
}

void addHexPiece(std::string_view piece, HexChunk& chunk) {
    const std::string_view original = piece;
    if (piece.size() >= 2 && piece[0] == '0' && (piece[1] == 'x' || piece[1] == 'X')) piece.remove_prefix(2);
    const std::string where = "line " + std::to_string(chunk.line) + ": ";
    for (char c : piece) {
        if (!isHexDigit(c)) {
            chunk.problems.push_back(where + "'" + std::string(original) + "' is not hex, skipped");
            return;
        }
    }
    if (piece.empty() || piece.size() % 2 != 0) {
        chunk.problems.push_back(where + "'" + std::string(original) + "' has an odd number of hex digits, skipped");
        return;
    }
    for (std::size_t i = 0; i < piece.size(); i += 2) {
        chunk.bytes.push_back(static_cast<std::uint8_t>(std::stoul(std::string(piece.substr(i, 2)), nullptr, 16)));
    }
}

bool isSeparator(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0 || c == ',' || c == ';'; }

}  // namespace

const char* directionWord(LineDirection d) {
    switch (d) {
        case LineDirection::Host: return "host";
        case LineDirection::Device: return "device";
        default: return "";
    }
}

std::optional<HexChunk> parseHexLine(std::string_view text, unsigned lineNumber) {
    if (const auto hash = text.find('#'); hash != std::string_view::npos) text = text.substr(0, hash);
    HexChunk chunk;
    chunk.line = lineNumber;
    bool leading = true;  // timestamp and direction come before any byte
    bool any = false;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSeparator(text[i])) ++i;
        std::size_t j = i;
        while (j < text.size() && !isSeparator(text[j])) ++j;
        if (j == i) break;
        const std::string_view token = text.substr(i, j - i);
        i = j;
        any = true;
        if (leading && !chunk.timeUs && chunk.direction == LineDirection::Unknown) {
            if (auto t = parseTimestamp(token)) {
                chunk.timeUs = t;
                continue;
            }
        }
        if (leading && chunk.direction == LineDirection::Unknown) {
            if (auto d = parseDirection(token)) {
                chunk.direction = *d;
                continue;
            }
        }
        leading = false;
        std::size_t k = 0;
        while (k <= token.size()) {
            const std::size_t colon = std::min(token.find(':', k), token.size());
            if (colon > k) addHexPiece(token.substr(k, colon - k), chunk);
            k = colon + 1;
        }
    }
    if (!any) return std::nullopt;
    return chunk;
}

std::vector<HexChunk> parseHexText(std::string_view text) {
    std::vector<HexChunk> chunks;
    unsigned line = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        ++line;
        if (auto c = parseHexLine(text.substr(start, end - start), line)) chunks.push_back(std::move(*c));
        start = end + 1;
    }
    return chunks;
}

std::string clockText(std::int64_t timeUs) {
    const std::int64_t ms = timeUs / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", static_cast<long long>(ms / 3600000 % 24),
                  static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                  static_cast<long long>(ms % 1000));
    return text;
}

std::string rawLogLine(std::int64_t timeUs, LineDirection d, const Bytes& bytes) {
    return clockText(timeUs) + " " + directionWord(d) + " " + toHex(bytes);
}

}  // namespace kavrol::tools
