// The model groups: model codes that share one normalization.
#pragma once

#include <cstdint>

#include "reply/layout.h"

namespace kavrol::reply {

extern const GroupLayouts kGroup0;       // model 0
extern const GroupLayouts kGroup2_9;     // models 2, 9
extern const GroupLayouts kGroup23;      // model 23

// The group of a model code, or null for the models without normalization
// (1, 19 and every code above 24).
const GroupLayouts* GroupForModel(std::uint32_t modelCode);

}  // namespace kavrol::reply
