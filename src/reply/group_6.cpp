// Model group {6}: layouts for reply codes 1, 3, 8 and 9 only.
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {
using namespace rows;

// Reply code 3 (out 0..104): r[6..37] as code3Words[0..15], r[38..41] in
// code3Bytes, r[42..43] in code3QuadA and r[44..47] widened to 16 bits as
// code3Words2[0..3]. code3Longs is not written.
// clang-format off
constexpr Op kCode3Rows[] = {
    copy(0, 31, 6, 37),
    zero(32, 63),
    copy(64, 67, 38, 41),
    zero(68, 88),
    copy(89, 90, 42, 43),
    zero(91, 96),
    widenEach(97, 44, 4, 2),
};
// clang-format on
constexpr Layout kCode3{kCode3Rows};

}  // namespace

constinit const GroupLayouts kGroup6 = withCode3(sharedLayoutsOnly("6"), kCode3);

}  // namespace kavrol::reply
