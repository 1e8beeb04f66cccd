#include "common/number_list.h"

#include <charconv>

namespace kavrol::tools {

std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
    return value;
}

std::optional<std::vector<std::uint32_t>> parseNumberList(std::string_view text, std::uint32_t max,
                                                          std::string* error) {
    std::vector<std::uint32_t> out;
    if (text.empty()) return out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string_view item = text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
        const auto value = parseNumber(item, max);
        if (!value) {
            if (error != nullptr) *error = "'" + std::string(item) + "' is not a number 0.." + std::to_string(max);
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint32_t>(*value));
        if (comma == std::string_view::npos) return out;
        start = comma + 1;
    }
}

}  // namespace kavrol::tools
