// Reply-code-3 rows that model 8 (full form) and the group of models 3, 7,
// 10, 15, 16, 20, 21 share byte for byte: the odd-bit packs of r[78..101]
// and the four words r[102..105] between them.
#pragma once

#include "reply/layout.h"

namespace kavrol::reply {

namespace pack_rows {
using namespace rows;

// out 64..67 (code3Bytes[0..3]): the packs of r[78..85].
// clang-format off
inline constexpr Op kBytesRows[] = {
    pack(64, 78),
    pack(65, 80),
    pack(66, 82),
    pack(67, 84),
};
// clang-format on

// out 89..116: the packs of r[86..93] (code3QuadA), zeros (code3QuadB),
// r[102..105] widened to 16 bits (code3Words2[0..3]), zeros, and the packs
// of r[94..101] (code3QuadC).
// clang-format off
inline constexpr Op kTailRows[] = {
    pack(89, 86),
    pack(90, 88),
    pack(91, 90),
    pack(92, 92),
    zero(93, 96),
    copy(97, 102),
    zero(98),
    copy(99, 103),
    zero(100),
    copy(101, 104),
    zero(102),
    copy(103, 105),
    zero(104, 112),
    pack(113, 94),
    pack(114, 96),
    pack(115, 98),
    pack(116, 100),
};
// clang-format on

}  // namespace pack_rows

inline constexpr Layout kCode3PackedBytes{pack_rows::kBytesRows};
inline constexpr Layout kCode3PackedTail{pack_rows::kTailRows};

}  // namespace kavrol::reply
