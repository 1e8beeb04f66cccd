#include "common/number_option.h"

#include "common/number_list.h"

namespace kavrol::tools {

CLI::Validator numberUpTo(std::uint64_t max) {
    return CLI::Validator(
        [max](std::string& text) -> std::string {
            std::string error;
            const auto value = parseNumber(text, max, &error);
            if (!value) return error;
            text = std::to_string(*value);
            return {};
        },
        "0.." + std::to_string(max));
}

CLI::Validator numberIn(std::uint64_t min, std::uint64_t max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            std::string error;
            const auto value = parseNumber(text, max, &error);
            if (!value) return error;
            if (*value < min) return text + " is below " + std::to_string(min);
            text = std::to_string(*value);
            return {};
        },
        std::to_string(min) + ".." + std::to_string(max));
}

}  // namespace kavrol::tools
