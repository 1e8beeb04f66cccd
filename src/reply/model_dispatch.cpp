#include <array>

#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {

// Model code 0..24 to its group; null: no normalization.
const std::array<const GroupLayouts*, 25> kGroupOfModel = {
    &kGroup0,    // 0
    nullptr,     // 1
    &kGroup2_9,  // 2
    nullptr,     // 3
    nullptr,     // 4
    nullptr,     // 5
    nullptr,     // 6
    nullptr,     // 7
    nullptr,     // 8
    &kGroup2_9,  // 9
    nullptr,     // 10
    nullptr,     // 11
    nullptr,     // 12
    nullptr,     // 13
    nullptr,     // 14
    nullptr,     // 15
    nullptr,     // 16
    nullptr,     // 17
    nullptr,     // 18
    nullptr,     // 19
    nullptr,     // 20
    nullptr,     // 21
    nullptr,     // 22
    &kGroup23,   // 23
    nullptr,     // 24
};

}  // namespace

const GroupLayouts* GroupForModel(std::uint32_t modelCode) {
    return modelCode < kGroupOfModel.size() ? kGroupOfModel[modelCode] : nullptr;
}

}  // namespace kavrol::reply
