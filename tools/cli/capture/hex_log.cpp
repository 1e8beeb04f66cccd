#include "cli/capture/hex_log.h"

#include <algorithm>
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

// The value of at most 18 digits (callers bound the length first).
std::int64_t number(std::string_view s) {
    std::int64_t v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

// Microseconds of a fraction written after the point ("5" = 500000);
// digits past the sixth are dropped.
std::int64_t fractionUs(std::string_view digits) {
    std::string six(digits.substr(0, 6));
    six.resize(6, '0');
    return number(six);
}

constexpr std::int64_t kUsPerSecond = 1000000;
constexpr std::int64_t kUsPerDay = 86400 * kUsPerSecond;
// Seconds alone ("1.250") may count from any epoch, a Unix one included;
// twelve digits keep every value far from overflow.
constexpr std::size_t kMaxSecondsDigits = 12;

// What a leading token is as a time or a date.
struct Stamp {
    enum class Kind { None, Value, OutOfRange };
    Kind kind = Kind::None;
    std::int64_t value = 0;  // microseconds (time) or days since 1970-01-01 (date)
    std::string why;         // OutOfRange: which field
};

Stamp outOfRange(std::string why) { return {Stamp::Kind::OutOfRange, 0, std::move(why)}; }

// "HH:MM:SS.fff", "HH:MM" or seconds "SSS.fff". A three-part time needs its
// fraction unless it follows a date or a side marker, so that bytes written
// as colon-separated pairs ("12:34:56") stay bytes; a two-part time is read
// as a time only when its fields are in range.
Stamp parseTime(std::string_view t, bool unambiguous) {
    const auto dot = t.find('.');
    const bool hasFraction = dot != std::string_view::npos;
    if (hasFraction && !allDigits(t.substr(dot + 1))) return {};
    const std::string_view whole = t.substr(0, dot);
    const std::int64_t frac = hasFraction ? fractionUs(t.substr(dot + 1)) : 0;
    if (allDigits(whole)) {
        if (!hasFraction) return {};
        if (whole.size() > kMaxSecondsDigits) {
            return outOfRange("seconds have at most " + std::to_string(kMaxSecondsDigits) + " digits");
        }
        return {Stamp::Kind::Value, number(whole) * kUsPerSecond + frac, ""};
    }
    std::string_view fields[3];
    std::size_t count = 0;
    for (std::size_t k = 0; k <= whole.size();) {
        const std::size_t colon = std::min(whole.find(':', k), whole.size());
        if (count == 3) return {};
        fields[count++] = whole.substr(k, colon - k);
        k = colon + 1;
    }
    if (count < 2) return {};
    const bool hours = fields[0].size() <= 2 && allDigits(fields[0]);
    for (std::size_t i = 1; i < count; ++i) {
        if (fields[i].size() != 2 || !allDigits(fields[i])) return {};
    }
    if (!hours || (count == 2 && hasFraction) || (count == 3 && !hasFraction && !unambiguous)) return {};
    const std::int64_t h = number(fields[0]);
    const std::int64_t m = number(fields[1]);
    const std::int64_t s = count == 3 ? number(fields[2]) : 0;
    if (h > 23 || m > 59 || s > 59) {
        if (count == 2 && !unambiguous) return {};
        return outOfRange(h > 23 ? "hours are 0..23" : m > 59 ? "minutes are 0..59" : "seconds are 0..59");
    }
    return {Stamp::Kind::Value, ((h * 60 + m) * 60 + s) * kUsPerSecond + frac, ""};
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = y / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// "2026-12-10" or "2026/12/10" (socat).
Stamp parseDate(std::string_view t) {
    if (t.size() != 10 || (t[4] != '-' && t[4] != '/') || t[7] != t[4]) return {};
    const std::string_view y = t.substr(0, 4);
    const std::string_view m = t.substr(5, 2);
    const std::string_view d = t.substr(8, 2);
    if (!allDigits(y) || !allDigits(m) || !allDigits(d)) return {};
    const std::int64_t year = number(y);
    const std::int64_t month = number(m);
    const std::int64_t day = number(d);
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970) return outOfRange("years start at 1970");
    if (month < 1 || month > 12) return outOfRange("months are 1..12");
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap)) {
        return outOfRange("that month has no day " + std::to_string(day));
    }
    return {Stamp::Kind::Value, daysFromCivil(year, month, day), ""};
}

std::optional<LineDirection> parseDirection(std::string_view t) {
    if (!t.empty() && t.back() == ':') t.remove_suffix(1);
    std::string lower;
    for (char c : t) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "host") return LineDirection::Host;
    if (lower == "device") return LineDirection::Device;
    return std::nullopt;
}

std::string where(const HexChunk& chunk) { return "line " + std::to_string(chunk.line) + ": "; }

void addHexPiece(std::string_view piece, HexChunk& chunk) {
    const std::string_view original = piece;
    if (piece.size() >= 2 && piece[0] == '0' && (piece[1] == 'x' || piece[1] == 'X')) piece.remove_prefix(2);
    for (char c : piece) {
        if (!isHexDigit(c)) {
            chunk.problems.push_back(where(chunk) + "'" + std::string(original) + "' is not hex, skipped");
            return;
        }
    }
    if (piece.empty() || piece.size() % 2 != 0) {
        chunk.problems.push_back(where(chunk) + "'" + std::string(original) +
                                 "' has an odd number of hex digits, skipped");
        return;
    }
    for (std::size_t i = 0; i < piece.size(); i += 2) {
        chunk.bytes.push_back(static_cast<std::uint8_t>(std::stoul(std::string(piece.substr(i, 2)), nullptr, 16)));
    }
}

bool isSeparator(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0 || c == ',' || c == ';'; }

// What leads a line before its bytes: a side marker, a date, a time, a
// direction word and, after a side marker, socat's "length=5" fields.
class Leader {
public:
    explicit Leader(HexChunk& chunk) : chunk_(chunk) {}

    // True when the token belongs to the leader (it is consumed).
    bool take(std::string_view token, bool first) {
        if (first && (token == "<" || token == ">")) {
            chunk_.side = token[0];
            return true;
        }
        if (!timeTaken_ && chunk_.direction == LineDirection::Unknown) {
            if (!dayOf_) {
                const Stamp d = parseDate(token);
                if (d.kind != Stamp::Kind::None) {
                    dayOf_ = d.value;
                    dateText_ = token;
                    if (d.kind == Stamp::Kind::OutOfRange) bad("date", token, d.why);
                    return true;
                }
            }
            std::string_view t = token;
            if (t.size() > 2 && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
            const Stamp s = parseTime(t, dayOf_.has_value() || chunk_.side != 0);
            if (s.kind == Stamp::Kind::OutOfRange) {
                bad("time", token, s.why);
                timeTaken_ = true;
                return true;
            }
            if (s.kind == Stamp::Kind::Value) {
                chunk_.timeUs = (dayOf_ ? *dayOf_ * kUsPerDay : 0) + s.value;
                timeTaken_ = true;
                return true;
            }
        }
        finish();
        if (chunk_.direction == LineDirection::Unknown) {
            if (auto d = parseDirection(token)) {
                chunk_.direction = *d;
                return true;
            }
        }
        return chunk_.side != 0 && token.find('=') != std::string_view::npos;
    }

    // A date must be followed by its time.
    void finish() {
        if (dayOf_ && !timeTaken_) {
            chunk_.problems.push_back(where(chunk_) + "date '" + std::string(dateText_) + "' has no time after it");
            timeTaken_ = true;
        }
    }

private:
    void bad(const char* what, std::string_view token, const std::string& why) {
        chunk_.problems.push_back(where(chunk_) + what + " '" + std::string(token) + "' is out of range (" + why +
                                  "), skipped");
    }

    HexChunk& chunk_;
    std::optional<std::int64_t> dayOf_;
    bool timeTaken_ = false;
    std::string_view dateText_;
};

}  // namespace

const char* directionWord(LineDirection d) {
    switch (d) {
        case LineDirection::Host: return "host";
        case LineDirection::Device: return "device";
        default: return "";
    }
}

std::optional<HexChunk> parseHexLine(std::string_view text, unsigned lineNumber, bool lineStart) {
    if (const auto hash = text.find('#'); hash != std::string_view::npos) text = text.substr(0, hash);
    HexChunk chunk;
    chunk.line = lineNumber;
    Leader leader(chunk);
    bool leading = lineStart;  // side, time and direction come before any byte
    bool first = true;
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
        if (leading) {
            const bool wasFirst = first;
            first = false;
            if (leader.take(token, wasFirst)) continue;
            leading = false;
        }
        // interceptty follows each byte with its printable form: "(^E)", "(A)".
        if (chunk.side != 0 && !chunk.bytes.empty() && (token.front() == '(' || token.front() == '[')) break;
        std::size_t k = 0;
        while (k <= token.size()) {
            const std::size_t colon = std::min(token.find(':', k), token.size());
            if (colon > k) addHexPiece(token.substr(k, colon - k), chunk);
            k = colon + 1;
        }
    }
    leader.finish();
    if (!any) return std::nullopt;
    chunk.header = chunk.side != 0 && chunk.timeUs && chunk.bytes.empty();
    return chunk;
}

std::optional<HexChunk> HexLogParser::parse(std::string_view text, unsigned lineNumber) {
    std::string_view bare = text.substr(0, text.find('#'));
    while (!bare.empty() && isSeparator(bare.back())) bare.remove_suffix(1);
    while (!bare.empty() && isSeparator(bare.front())) bare.remove_prefix(1);
    if (bare == "--") {  // socat's end of a block
        inBlock_ = false;
        return std::nullopt;
    }
    auto chunk = parseHexLine(text, lineNumber);
    if (!chunk) return chunk;
    if (chunk->header) {
        inBlock_ = true;
        blockTimeUs_ = chunk->timeUs;
        blockSide_ = chunk->side;
    } else if (inBlock_) {
        if (!chunk->timeUs && chunk->side == 0 && chunk->direction == LineDirection::Unknown) {
            chunk->timeUs = blockTimeUs_;
            chunk->side = blockSide_;
        } else {
            inBlock_ = false;
        }
    }
    return chunk;
}

std::vector<HexChunk> parseHexText(std::string_view text) {
    std::vector<HexChunk> chunks;
    HexLogParser parser;
    unsigned line = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        ++line;
        if (auto c = parser.parse(text.substr(start, end - start), line)) chunks.push_back(std::move(*c));
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
