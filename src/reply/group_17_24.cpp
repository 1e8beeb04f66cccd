// Model group {17, 24}: the shared layouts for reply codes 1, 5, 6, 8 and 9, and
// a reply-code-3 layout of its own.
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {
using namespace rows;

// Reply code 3 (out 0..236): r[6..9] widened to 16 bits, built bytes in
// code3Bytes[0..1] and code3QuadA[0..1], and the rest of the payload spread
// over code3Longs[0..29], one value of one, two or four bytes per 32-bit
// slot, zero-extended. r[11], r[23], r[48], r[50] and r[52] are not used.
// A built byte is made in place by the rows under its comment.
// clang-format off
constexpr Op kCode3Rows[] = {
    widenEach(0, 6, 4, 2),  // code3Words[0..3]
    zero(8, 63),
    // out 64: bits 0..2 = r[10] bits 1..3; bit 3 = r[22] bit 6; bits 4..7 = r[22] bits 0..3
    zero(64), field(64, 10, 1, 3, 0), orField(64, 22, 6, 1, 3), orField(64, 22, 0, 4, 4),
    // out 65: bit 0 = r[22] bit 4; bit 1 = 1 if r[39] is not 0; bits 2..3 = r[51] bits 0..1;
    // bit 4 = r[60] bit 2; bit 5 = r[61] bit 0; bits 6..7 = 0
    zero(65), orField(65, 22, 4, 1, 0), orNonZero(65, 39, 1), orField(65, 51, 0, 1, 2),
    orField(65, 51, 1, 1, 3), orField(65, 60, 2, 1, 4), orField(65, 61, 0, 1, 5),
    zero(66, 88),
    // out 89: bits 0..6 = r[12] bits 0..6; bit 7 = r[13] bit 4
    field(89, 12, 0, 7, 0), orField(89, 13, 4, 1, 7),
    // out 90: bit 0 = r[47] bit 0; bits 1..2 = r[49] bits 1..2; bit 3 = r[49] bit 7; bits 4..7 = 0
    zero(90), orField(90, 47, 0, 1, 0), orField(90, 49, 1, 1, 1), orField(90, 49, 2, 1, 2),
    orField(90, 49, 7, 1, 3),
    zero(91, 116),
    // code3Longs, one row a value or run of values:
    copy(117, 124, 14, 21),                 // 0, 1
    widenEach(125, 24, 2, 4),               // 2, 3
    copy(133, 140, 26, 33),                 // 4, 5
    widenEach(141, 34, 2, 4),               // 6, 7
    wide32(copy(149, 150, 36, 37)),         // 8
    wide32(copy(153, 38)),                  // 9
    wide32(copy(157, 158, 40, 41)),         // 10
    wide32(copy(161, 42)),                  // 11
    copy(165, 168, 43, 46),                 // 12
    widenEach(169, 53, 7, 4),               // 13..19
    copy(197, 200, 62, 65),                 // 20
    widenEach(201, 66, 2, 4),               // 21, 22
    copy(209, 216, 68, 75),                 // 23, 24
    widenEach(217, 76, 5, 4),               // 25..29
};
// clang-format on
constexpr Layout kCode3{kCode3Rows};

}  // namespace

constinit const GroupLayouts kGroup17_24 = groupWithOwnCode3("17, 24", kCode3);

}  // namespace kavrol::reply
