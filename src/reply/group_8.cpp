// Model group {8}: the common set of layouts, a reply code 3 in two forms
// chosen by r[3], and the two-byte table of reply code 8 for reply code 2.
#include "reply/code3_pack_rows.h"
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

namespace {
using namespace rows;

// Reply code 3, full form (r[3] not 0; out 0..116): r[6..69] as all of
// code3Words, then the odd-bit packs and r[102..105]. r[70..77] are not used.
// clang-format off
constexpr Op kCode3FullRows[] = {
    copy(0, 63, 6, 69),
    include(kCode3PackedBytes),  // out 64..67
    zero(68, 88),
    include(kCode3PackedTail),  // out 89..116
};
// clang-format on
constexpr Layout kCode3Full{kCode3FullRows};

// Reply code 3, short form (r[3] = 0; out 0..72): r[6..49] as
// code3Words[0..21], r[50..58] as code3Bytes[0..8].
// clang-format off
constexpr Op kCode3ShortRows[] = {
    copy(0, 43, 6, 49),
    zero(44, 63),
    copy(64, 72, 50, 58),
};
// clang-format on
constexpr Layout kCode3Short{kCode3ShortRows};

// Reply code 3: any non-zero second header byte selects the full form.
// clang-format off
constexpr Op kCode3Rows[] = {
    chooseBy(3, 0xFF, kCode3Full, kCode3Short),
};
// clang-format on
constexpr Layout kCode3{kCode3Rows};

// The common set, and for reply code 2 r[6] widened to 16 bits: the table
// of reply code 8.
constexpr GroupLayouts group8() {
    GroupLayouts group = groupWithOwnCode3("8", kCode3);
    group.byReplyCode[2] = &SharedLayout8;
    return group;
}

}  // namespace

constinit const GroupLayouts kGroup8 = group8();

}  // namespace kavrol::reply
