// Model group {18}: the shared layouts for reply codes 1, 5, 6, 8 and 9, and
// a reply-code-3 layout of its own.
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {
using namespace rows;

// Reply code 3, variant A (bit 1 of r[12] set): three runs widened by zeros.
// clang-format off
constexpr Op kCode3VariantARows[] = {
    copy(197, 218, 134, 155),
    zero(219, 220),
    copy(221, 242, 156, 177),
    zero(243, 244),
    copy(245, 301, 178, 234),
    zero(302, 304),
    copy(305, 308, 235, 238),
};
// clang-format on
constexpr Layout kCode3VariantA{kCode3VariantARows};

// Reply code 3, variant B (bit 1 of r[12] clear): a straight copy.
// clang-format off
constexpr Op kCode3VariantBRows[] = {
    copy(197, 304, 134, 241),
};
// clang-format on
constexpr Layout kCode3VariantB{kCode3VariantBRows};

// Reply code 3: out 0..116 cleared, code3Longs from r[59..] with r[13] and
// r[12] placed in the middle of the run, then the variant chosen by bit 1
// of r[12]. r[6..11] and r[14..58] are not used.
// clang-format off
constexpr Op kCode3Rows[] = {
    zero(0, 116),
    copy(117, 189, 59, 131),
    zero(190, 192),
    copy(193, 194, 132, 133),
    copy(195, 13),
    copy(196, 12),
    chooseBy(12, 0x02, kCode3VariantA, kCode3VariantB),
};
// clang-format on
constexpr Layout kCode3{kCode3Rows};

}  // namespace

constinit const GroupLayouts kGroup18 = groupWithOwnCode3("18", kCode3);

}  // namespace kavrol::reply
