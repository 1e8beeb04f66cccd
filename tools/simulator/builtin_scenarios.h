// Scenarios built into the tools, so that the simulator and the demo need
// no files: one per model group, one that suits every model, and the tour.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "simulator/scenario.h"

namespace kavrol::tools {

inline constexpr std::string_view kDefaultScenario = "all-models";
inline constexpr std::string_view kDemoScenario = "demo";

struct BuiltinInfo {
    std::string name;
    std::string description;
};

std::vector<BuiltinInfo> builtinScenarios();
std::optional<Scenario> builtinScenario(std::string_view name);

}  // namespace kavrol::tools
