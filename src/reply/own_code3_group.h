// The common set of layouts that most model groups have, and the others
// start from: the shared layouts for reply codes 1, 5, 6, 8 and 9, a
// reply-code-3 layout of the group's own, and no layout for 2, 4 and 7.
#pragma once

#include "reply/layout.h"
#include "reply/shared_layouts.h"

namespace kavrol::reply {

constexpr GroupLayouts GroupWithOwnCode3(const char* name, const Layout& code3) {
    return {
        name,
        {
            nullptr,         // 0
            &SharedLayout1,  // 1
            nullptr,         // 2
            &code3,          // 3
            nullptr,         // 4
            &SharedLayout5,  // 5
            &SharedLayout6,  // 6
            nullptr,         // 7
            &SharedLayout8,  // 8
            &SharedLayout9,  // 9
        },
    };
}

// The common set with SharedLayout2 for reply code 2 as well.
constexpr GroupLayouts GroupWithOwnCode3AndBits(const char* name, const Layout& code3) {
    GroupLayouts group = GroupWithOwnCode3(name, code3);
    group.byReplyCode[2] = &SharedLayout2;
    return group;
}

}  // namespace kavrol::reply
