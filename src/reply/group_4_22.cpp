// Model group {4, 22}: the shared layouts for reply codes 1, 5, 6, 8 and 9, and
// a reply-code-3 layout of its own.
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {
using namespace rows;

// Reply code 3: code3Words, code3QuadA and code3QuadB cleared; code3Bytes
// from r[6..29], where out 64..72 get bit 1 ORed with their own bit 0 and
// out 84 is built from bits 2..3 of r[27] and bits 5 and 7 of r[28].
// r[26] is not used.
// clang-format off
constexpr Op kCode3Rows[] = {
    zero(0, 63),
    copy(64, 6),
    orBit0IntoBit1(64),
    copy(65, 7),
    orBit0IntoBit1(65),
    copy(66, 8),
    orBit0IntoBit1(66),
    copy(67, 9),
    orBit0IntoBit1(67),
    copy(68, 10),
    orBit0IntoBit1(68),
    copy(69, 11),
    orBit0IntoBit1(69),
    copy(70, 12),
    orBit0IntoBit1(70),
    copy(71, 13),
    orBit0IntoBit1(71),
    copy(72, 14),
    orBit0IntoBit1(72),
    copy(73, 83, 15, 25),
    zero(84),
    orField(84, 27, 2, 2, 0),
    orField(84, 28, 5, 1, 2),
    orField(84, 28, 7, 1, 3),
    copy(85, 29),
    zero(86, 96),
};
// clang-format on
constexpr Layout kCode3{kCode3Rows};

}  // namespace

constinit const GroupLayouts kGroup4_22 = groupWithOwnCode3("4, 22", kCode3);

}  // namespace kavrol::reply
