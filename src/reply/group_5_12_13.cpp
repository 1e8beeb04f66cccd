// Model group {5, 12, 13}: the shared layouts for reply codes 1, 5, 6, 8 and 9, and
// a reply-code-3 layout of its own.
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {
using namespace rows;

// Reply code 3: r[16..23] as code3Words[0..3], then r[6..15] as
// code3Bytes[0..9]; the rest of out 0..96 zero.
// clang-format off
constexpr Op kCode3Rows[] = {
    copy(0, 7, 16, 23),
    zero(8, 63),
    copy(64, 73, 6, 15),
    zero(74, 96),
};
// clang-format on
constexpr Layout kCode3{kCode3Rows};

}  // namespace

constinit const GroupLayouts kGroup5_12_13 = groupWithOwnCode3("5, 12, 13", kCode3);

}  // namespace kavrol::reply
