// The layouts that several model groups share byte for byte.
#pragma once

#include "reply/layout.h"

namespace kavrol::reply {

namespace shared_rows {
using namespace rows;

// Reply code 1: r[6] and r[7] widened to 16 bits, then r[8..11].
// clang-format off
inline constexpr Op kLayout1[] = {
    widenEach(0, 6, 2, 2),
    copy(4, 7, 8, 11),
};
// clang-format on

// Reply code 2: a flag for r[7] non-zero, then the eight bits of r[6], each
// as a 16-bit 0 or 1.
// clang-format off
inline constexpr Op kLayout2[] = {
    flag(0, 7),
    zero(1),
    bit(2, 6, 0),  zero(3),
    bit(4, 6, 1),  zero(5),
    bit(6, 6, 2),  zero(7),
    bit(8, 6, 3),  zero(9),
    bit(10, 6, 4), zero(11),
    bit(12, 6, 5), zero(13),
    bit(14, 6, 6), zero(15),
    bit(16, 6, 7), zero(17),
};
// clang-format on

// Reply code 5: five pairs of 16-bit values; byte 15 comes from r[26].
// clang-format off
inline constexpr Op kLayout5[] = {
    copy(0, 1, 8, 9),
    copy(2, 3, 18, 19),
    zero(4, 7),
    copy(8, 9, 10, 11),
    copy(10, 11, 20, 21),
    copy(12, 13, 14, 15),
    copy(14, 24),
    copy(15, 26),
    copy(16, 17, 12, 13),
    copy(18, 19, 22, 23),
};
// clang-format on

// Reply code 6: fifteen 16-bit values; the last one arrives high byte first.
// clang-format off
inline constexpr Op kLayout6[] = {
    wide16(copy(0, 6)),   wide16(copy(2, 7)),
    wide16(copy(4, 13)),  wide16(copy(6, 20)),
    wide16(copy(8, 14)),  wide16(copy(10, 21)),
    copy(12, 13, 15, 16),
    copy(14, 15, 22, 23),
    wide16(copy(16, 12)), wide16(copy(18, 19)),
    wide16(copy(20, 11)), wide16(copy(22, 18)),
    wide16(copy(24, 10)), wide16(copy(26, 17)),
    copy(28, 9),
    copy(29, 8),
};
// clang-format on

// Reply code 8: r[6] widened to 16 bits.
// clang-format off
inline constexpr Op kLayout8[] = {
    wide16(copy(0, 6)),
};
// clang-format on

// Reply code 9: the whole payload r[6..L], then one zero byte.
// clang-format off
inline constexpr Op kLayout9[] = {
    payloadToEnd(0, 6),
};
// clang-format on

}  // namespace shared_rows

inline constexpr Layout SharedLayout1{shared_rows::kLayout1};
inline constexpr Layout SharedLayout2{shared_rows::kLayout2};
inline constexpr Layout SharedLayout5{shared_rows::kLayout5};
inline constexpr Layout SharedLayout6{shared_rows::kLayout6};
inline constexpr Layout SharedLayout8{shared_rows::kLayout8};
inline constexpr Layout SharedLayout9{shared_rows::kLayout9};

}  // namespace kavrol::reply
