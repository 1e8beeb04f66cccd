// Reply-code-3 rows that groups {11, 14} and {17, 24} share byte for byte:
// r[6..9] widened to 16 bits as code3Words[0..3], the other words zero.
#pragma once

#include "reply/layout.h"

namespace kavrol::reply {

namespace word_rows {
using namespace rows;

// clang-format off
inline constexpr Op kFourWidenedWordsRows[] = {
    widenEach(0, 6, 4, 2),
    zero(8, 63),
};
// clang-format on

}  // namespace word_rows

inline constexpr Layout kCode3FourWidenedWords{word_rows::kFourWidenedWordsRows};

}  // namespace kavrol::reply
