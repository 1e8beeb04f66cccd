// Model group {2, 9}.
#include "reply/model_groups.h"
#include "reply/shared_layouts.h"

namespace kavrol::reply {

namespace {
using namespace rows;

// Reply code 3: thirteen payload bytes in the 25-byte block, the rest zero.
constexpr Op kCode3Rows[] = {
    zero(0, 63),
    copy(64, 76, 6, 18),
    zero(77, 96),
};
constexpr Layout kCode3{kCode3Rows};

}  // namespace

const GroupLayouts kGroup2_9{
    "2, 9",
    {
        nullptr,         // 0
        &SharedLayout1,  // 1
        &SharedLayout2,  // 2
        &kCode3,         // 3
        nullptr,         // 4
        &SharedLayout5,  // 5
        &SharedLayout6,  // 6
        nullptr,         // 7
        &SharedLayout8,  // 8
        &SharedLayout9,  // 9
    },
};

}  // namespace kavrol::reply
