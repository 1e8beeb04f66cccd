// Model group {23}.
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {
using namespace rows;

// Reply code 3: each payload run lands at the start of its record field; the
// positions between the runs are not written.
// clang-format off
constexpr Op kCode3Rows[] = {
    copy(0, 15, 6, 21),
    zero(16, 63),
    copy(64, 22),
    copy(89, 23),
    copy(97, 100, 24, 27),
    copy(117, 127, 28, 38),
};
// clang-format on
constexpr Layout kCode3{kCode3Rows};

}  // namespace

constinit const GroupLayouts kGroup23 = groupWithOwnCode3AndBits("23", kCode3);

}  // namespace kavrol::reply
