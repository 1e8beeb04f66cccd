// Reply-code-3 rows that groups {11, 14} and {17, 24} share byte for byte:
// r[6..9] widened to 16 bits as code3Words[0..3], the other words zero.
#pragma once

#include "reply/layout.h"

namespace kavrol::reply {

namespace word_rows {
using namespace rows;

// clang-format off
inline constexpr Op kFourWidenedWordsRows[] = {
    copy(0, 6),
    zero(1),
    copy(2, 7),
    zero(3),
    copy(4, 8),
    zero(5),
    copy(6, 9),
    zero(7, 63),
};
// clang-format on

}  // namespace word_rows

inline constexpr Layout kCode3FourWidenedWords{word_rows::kFourWidenedWordsRows};

}  // namespace kavrol::reply
