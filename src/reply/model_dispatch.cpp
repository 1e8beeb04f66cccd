#include <array>

#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {

// Model code 0..24 to its group; null: no normalization.
const std::array<const GroupLayouts*, 25> kGroupOfModel = {
    &kGroup0,                 // 0
    nullptr,                  // 1
    &kGroup2_9,               // 2
    &kGroupDefaultThreshold,  // 3
    &kGroup4_22,              // 4
    &kGroup5_12_13,           // 5
    &kGroup6,                 // 6
    &kGroupDefault,           // 7
    &kGroup8,                 // 8
    &kGroup2_9,               // 9
    &kGroupDefaultThreshold,  // 10
    &kGroup11_14,             // 11
    &kGroup5_12_13,           // 12
    &kGroup5_12_13,           // 13
    &kGroup11_14,             // 14
    &kGroupDefaultThreshold,  // 15
    &kGroupDefaultThreshold,  // 16
    &kGroup17_24,             // 17
    &kGroup18,                // 18
    nullptr,                  // 19
    &kGroupDefault,           // 20
    &kGroupDefault,           // 21
    &kGroup4_22,              // 22
    &kGroup23,                // 23
    &kGroup17_24,             // 24
};

}  // namespace

const GroupLayouts* groupForModel(std::uint32_t modelCode) {
    return modelCode < kGroupOfModel.size() ? kGroupOfModel[modelCode] : nullptr;
}

}  // namespace kavrol::reply
