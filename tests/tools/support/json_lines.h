// Output of the tools' --json modes: one JSON object per line.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kavrol::tools::test {

inline std::vector<nlohmann::json> jsonLines(const std::string& out) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(out);
    std::string text;
    while (std::getline(in, text)) {
        if (!text.empty()) lines.push_back(nlohmann::json::parse(text));
    }
    return lines;
}

}  // namespace kavrol::tools::test
