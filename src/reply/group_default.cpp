// The default model group {3, 7, 10, 15, 16, 20, 21}. Models 3, 10, 15 and
// 16 add a threshold step to reply code 3 when r[3] is 0, so the group is
// served by two sets of layouts that differ in reply code 3 only.
#include "reply/code3_pack_rows.h"
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {
using namespace rows;

// Reply code 1 (out 0..19): r[6] and r[7] widened to 16 bits, then eight
// 16-bit values r[8..23].
// clang-format off
constexpr Op kCode1Rows[] = {
    copy(0, 6),
    zero(1),
    copy(2, 7),
    zero(3),
    copy(4, 19, 8, 23),
};
// clang-format on
constexpr Layout kCode1{kCode1Rows};

// Reply code 3 (out 0..116): r[6..53] as code3Words[0..23], the odd-bit
// packs, r[54..74] as code3Bytes[4..24] and r[102..105]. r[75..77] are not
// used.
// clang-format off
constexpr Op kCode3Rows[] = {
    copy(0, 47, 6, 53),
    zero(48, 63),
    include(kCode3PackedBytes),  // out 64..67
    copy(68, 88, 54, 74),
    include(kCode3PackedTail),  // out 89..116
};
// clang-format on
constexpr Layout kCode3{kCode3Rows};

// Threshold step: bit i (i = 0..6) of out 66 tells whether the 16-bit value
// r[20+2i] | r[21+2i] << 8 is at least 1638 (0x666); bit 7 keeps the pack's
// bit r[83].7. Each value is read as 16 bits: a wider read would overlap
// the next value.
// clang-format off
constexpr Op kCode3ThresholdRows[] = {
    include(kCode3),
    threshold(66, 20, 7, 0x666),
};
// clang-format on
constexpr Layout kCode3Threshold{kCode3ThresholdRows};

// Reply code 3 of models 3, 10, 15, 16: the threshold step only when r[3] = 0.
// clang-format off
constexpr Op kCode3ByHeaderRows[] = {
    chooseBy(3, 0xFF, kCode3, kCode3Threshold),
};
// clang-format on
constexpr Layout kCode3ByHeader{kCode3ByHeaderRows};

// The group's layouts with the given reply-code-3 layout: the common set,
// with a reply code 1 of its own.
constexpr GroupLayouts groupWithOwnCodes1And3(const char* name, const Layout& code3) {
    GroupLayouts group = groupWithOwnCode3(name, code3);
    group.byReplyCode[1] = &kCode1;
    return group;
}

}  // namespace

constinit const GroupLayouts kGroupDefault = groupWithOwnCodes1And3("7, 20, 21", kCode3);
constinit const GroupLayouts kGroupDefaultThreshold = groupWithOwnCodes1And3("3, 10, 15, 16", kCode3ByHeader);

}  // namespace kavrol::reply
