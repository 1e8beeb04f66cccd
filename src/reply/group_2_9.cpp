// Model group {2, 9}.
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {
using namespace rows;

// Reply code 3: thirteen payload bytes in the 25-byte block, the rest zero.
// clang-format off
constexpr Op kCode3Rows[] = {
    zero(0, 63),
    copy(64, 76, 6, 18),
    zero(77, 96),
};
// clang-format on
constexpr Layout kCode3{kCode3Rows};

}  // namespace

constinit const GroupLayouts kGroup2_9 = groupWithOwnCode3AndBits("2, 9", kCode3);

}  // namespace kavrol::reply
