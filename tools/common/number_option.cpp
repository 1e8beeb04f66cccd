#include "common/number_option.h"

#include "common/number_list.h"

namespace kavrol::tools {

CLI::Validator numberUpTo(std::uint64_t max) {
    return CLI::Validator(
        [max](std::string& text) -> std::string {
            const auto value = parseNumber(text, max);
            if (!value) return "'" + text + "' is not a number 0.." + std::to_string(max);
            text = std::to_string(*value);
            return {};
        },
        "0.." + std::to_string(max));
}

}  // namespace kavrol::tools
