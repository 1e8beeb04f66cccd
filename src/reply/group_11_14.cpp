// Model group {11, 14}: the shared layouts for reply codes 1, 5, 6, 8 and 9, and
// a reply-code-3 layout of its own.
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {
using namespace rows;

// Value tables of the three coded fields of r[32] and r[38]; a field value
// not listed gives 0.
constexpr ValueMap kMapA = {0, 4, 2, 0, 1, 0, 3, 0};  // bits 4..6: 1->4, 2->2, 4->1, 6->3
constexpr ValueMap kMapB = {0, 2, 1, 0};              // bits 2..3: 1->2, 2->1
constexpr ValueMap kMapC = {3, 1, 2, 0};              // bits 0..1: 0->3, 1->1, 2->2, 3->0

// Reply code 3 (out 0..220): r[6..9] widened to 16 bits, built bytes in
// code3Bytes[0..1] and code3QuadA[0..1], r[63..65] in code3Bytes[2..4], and
// the rest of the payload spread over code3Longs[0..25], one value of one,
// two or four bytes per 32-bit slot, zero-extended. r[25] and r[27] are not
// used. A built byte is made in place by the rows under its comment.
// clang-format off
constexpr Op kCode3Rows[] = {
    widenEach(0, 6, 4, 2),  // code3Words[0..3]
    zero(8, 63),
    // out 64: bits 0..3 = r[10] bits 0..3; bit 4 = r[11] bit 7; bits 5..7 = r[24] bits 0..2
    zero(64), field(64, 10, 0, 4, 0), orField(64, 11, 7, 1, 4), orField(64, 24, 0, 3, 5),
    // out 65: bits 0..4 = r[24] bits 3..7; bit 5 = r[58] bit 0; bit 6 = 0; bit 7 = r[24] bit 0
    field(65, 24, 3, 5, 0), orField(65, 58, 0, 1, 5), orField(65, 24, 0, 1, 7),
    copy(66, 68, 63, 65),
    zero(69, 88),
    // out 89: bits 0..5 = r[12] bits 0..5; bit 6 = r[13] bit 4; bit 7 = 0
    zero(89), field(89, 12, 0, 6, 0), orField(89, 13, 4, 1, 6),
    // out 90: bits 0..6 = r[26] bits 0..6; bit 7 = 0
    zero(90), field(90, 26, 0, 7, 0),
    zero(91, 116),
    // code3Longs, one row a value or run of values; a line of three maps is 6, 7, 8 or 12, 13, 14:
    copy(117, 124, 16, 23),                 // 0, 1
    widenEach(125, 14, 2, 4),               // 2, 3
    copy(133, 136, 28, 31),                 // 4
    wide32(bit(137, 32, 7)),                // 5
    wide32(map(141, 32, 4, 3, kMapA)), wide32(map(145, 32, 2, 2, kMapB)), wide32(map(149, 32, 0, 2, kMapC)),
    copy(153, 156, 33, 36),                 // 9
    wide32(copy(157, 37)),                  // 10
    wide32(bit(161, 38, 7)),                // 11
    wide32(map(165, 38, 4, 3, kMapA)), wide32(map(169, 38, 2, 2, kMapB)), wide32(map(173, 38, 0, 2, kMapC)),
    copy(177, 180, 39, 42),                 // 15
    wide32(copy(181, 43)),                  // 16
    copy(185, 196, 44, 55),                 // 17, 18, 19
    widenEach(197, 56, 2, 4),               // 20, 21
    copy(205, 208, 59, 62),                 // 22
    widenEach(209, 63, 3, 4),               // 23, 24, 25
};
// clang-format on
constexpr Layout kCode3{kCode3Rows};

}  // namespace

constinit const GroupLayouts kGroup11_14 = groupWithOwnCode3("11, 14", kCode3);

}  // namespace kavrol::reply
