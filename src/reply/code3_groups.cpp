// The model groups whose only layout of their own, if any, is the one for
// reply code 3: {0}, {2, 9}, {5, 12, 13}, {6}, {18} and {23}.
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

using namespace rows;

// Model group {0}: the shared layouts of reply codes 1, 8 and 9 only.
constinit const GroupLayouts kGroup0 = sharedLayoutsOnly("0");

// Model group {2, 9}: the shared layouts for reply codes 1, 2, 5, 6, 8 and 9,
// and a reply-code-3 layout of its own.
//
// Reply code 3: thirteen payload bytes in the 25-byte block, the rest zero.
// clang-format off
constexpr Op kGroup2_9Code3Rows[] = {
    zero(0, 63),
    copy(64, 76, 6, 18),
    zero(77, 96),
};
// clang-format on
constexpr Layout kGroup2_9Code3{kGroup2_9Code3Rows};

constinit const GroupLayouts kGroup2_9 = groupWithOwnCode3AndBits("2, 9", kGroup2_9Code3);

// Model group {5, 12, 13}: the shared layouts for reply codes 1, 5, 6, 8 and
// 9, and a reply-code-3 layout of its own.
//
// Reply code 3: r[16..23] as code3Words[0..3], then r[6..15] as
// code3Bytes[0..9]; the rest of out 0..96 zero.
// clang-format off
constexpr Op kGroup5_12_13Code3Rows[] = {
    copy(0, 7, 16, 23),
    zero(8, 63),
    copy(64, 73, 6, 15),
    zero(74, 96),
};
// clang-format on
constexpr Layout kGroup5_12_13Code3{kGroup5_12_13Code3Rows};

constinit const GroupLayouts kGroup5_12_13 = groupWithOwnCode3("5, 12, 13", kGroup5_12_13Code3);

// Model group {6}: layouts for reply codes 1, 3, 8 and 9 only.
//
// Reply code 3 (out 0..104): r[6..37] as code3Words[0..15], r[38..41] in
// code3Bytes, r[42..43] in code3QuadA and r[44..47] widened to 16 bits as
// code3Words2[0..3]. code3Longs is not written.
// clang-format off
constexpr Op kGroup6Code3Rows[] = {
    copy(0, 31, 6, 37),
    zero(32, 63),
    copy(64, 67, 38, 41),
    zero(68, 88),
    copy(89, 90, 42, 43),
    zero(91, 96),
    widenEach(97, 44, 4, 2),
};
// clang-format on
constexpr Layout kGroup6Code3{kGroup6Code3Rows};

constinit const GroupLayouts kGroup6 = withCode3(sharedLayoutsOnly("6"), kGroup6Code3);

// Model group {18}: the shared layouts for reply codes 1, 5, 6, 8 and 9, and
// a reply-code-3 layout of its own.
//
// Reply code 3, variant A (bit 1 of r[12] set): three runs widened by zeros.
// clang-format off
constexpr Op kGroup18Code3VariantARows[] = {
    copy(197, 218, 134, 155),
    zero(219, 220),
    copy(221, 242, 156, 177),
    zero(243, 244),
    copy(245, 301, 178, 234),
    zero(302, 304),
    copy(305, 308, 235, 238),
};
// clang-format on
constexpr Layout kGroup18Code3VariantA{kGroup18Code3VariantARows};

// Reply code 3, variant B (bit 1 of r[12] clear): a straight copy.
// clang-format off
constexpr Op kGroup18Code3VariantBRows[] = {
    copy(197, 304, 134, 241),
};
// clang-format on
constexpr Layout kGroup18Code3VariantB{kGroup18Code3VariantBRows};

// Reply code 3: out 0..116 cleared, code3Longs from r[59..] with r[13] and
// r[12] placed in the middle of the run, then the variant chosen by bit 1
// of r[12]. r[6..11] and r[14..58] are not used.
// clang-format off
constexpr Op kGroup18Code3Rows[] = {
    zero(0, 116),
    copy(117, 189, 59, 131),
    zero(190, 192),
    copy(193, 194, 132, 133),
    copy(195, 13),
    copy(196, 12),
    chooseBy(12, 0x02, kGroup18Code3VariantA, kGroup18Code3VariantB),
};
// clang-format on
constexpr Layout kGroup18Code3{kGroup18Code3Rows};

constinit const GroupLayouts kGroup18 = groupWithOwnCode3("18", kGroup18Code3);

// Model group {23}: the shared layouts for reply codes 1, 2, 5, 6, 8 and 9,
// and a reply-code-3 layout of its own.
//
// Reply code 3: each payload run lands at the start of its record field; the
// positions between the runs are not written.
// clang-format off
constexpr Op kGroup23Code3Rows[] = {
    copy(0, 15, 6, 21),
    zero(16, 63),
    copy(64, 22),
    copy(89, 23),
    copy(97, 100, 24, 27),
    copy(117, 127, 28, 38),
};
// clang-format on
constexpr Layout kGroup23Code3{kGroup23Code3Rows};

constinit const GroupLayouts kGroup23 = groupWithOwnCode3AndBits("23", kGroup23Code3);

}  // namespace kavrol::reply
