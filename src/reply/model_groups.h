// The model groups: model codes that share one normalization.
#pragma once

#include <cstdint>

#include "reply/layout.h"

namespace kavrol::reply {

extern const GroupLayouts kGroup0;        // model 0
extern const GroupLayouts kGroup2_9;      // models 2, 9
extern const GroupLayouts kGroup23;       // model 23
extern const GroupLayouts kGroup4_22;     // models 4, 22
extern const GroupLayouts kGroup5_12_13;  // models 5, 12, 13
extern const GroupLayouts kGroup11_14;    // models 11, 14
extern const GroupLayouts kGroup17_24;    // models 17, 24
extern const GroupLayouts kGroup6;        // model 6
extern const GroupLayouts kGroup8;        // model 8
extern const GroupLayouts kGroup18;       // model 18
// The default group {3, 7, 10, 15, 16, 20, 21}, in two parts that differ
// only in reply code 3: models 3, 10, 15 and 16 add the threshold step.
extern const GroupLayouts kGroupDefault;           // models 7, 20, 21
extern const GroupLayouts kGroupDefaultThreshold;  // models 3, 10, 15, 16

// The group of a model code, or null for the models without normalization
// (1, 19 and every code above 24).
const GroupLayouts* groupForModel(std::uint32_t modelCode);

}  // namespace kavrol::reply
