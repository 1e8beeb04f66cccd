#include "common/number_list.h"

#include <charconv>

#include "common/wire.h"

namespace kavrol::tools {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool fail(std::string* error, const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
}

}  // namespace

std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t max, std::string* error) {
    const std::string shown(text);
    text = trimmed(text);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    const bool whole = !text.empty() && end == text.data() + text.size();
    if (whole && (ec == std::errc::result_out_of_range || (ec == std::errc() && value > max))) {
        fail(error, "'" + shown + "' is too large (at most " + std::to_string(max) + ")");
        return std::nullopt;
    }
    if (!whole || ec != std::errc()) {
        fail(error, "'" + shown + "' is not a number 0.." + std::to_string(max));
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<std::uint32_t>> parseNumberList(std::string_view text, std::uint32_t max,
                                                          std::string* error) {
    std::vector<std::uint32_t> out;
    if (trimmed(text).empty()) return out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string_view item = text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
        const auto value = parseNumber(item, max, error);
        if (!value) return std::nullopt;
        out.push_back(static_cast<std::uint32_t>(*value));
        if (comma == std::string_view::npos) return out;
        start = comma + 1;
    }
}

std::optional<Bytes> parseRoute(std::string_view text, std::string* error) {
    const auto values = parseNumberList(text, 255, error);
    if (!values) return std::nullopt;
    if (values->empty()) {
        fail(error, "a route needs at least one byte, e.g. 1,5");
        return std::nullopt;
    }
    if (values->size() > kMaxRoute) {
        fail(error, "a route has at most 9 bytes, " + std::to_string(values->size()) + " given");
        return std::nullopt;
    }
    return Bytes(values->begin(), values->end());
}

}  // namespace kavrol::tools
