// The sets of layouts by reply code that model groups start from.
#pragma once

#include "reply/layout.h"
#include "reply/shared_layouts.h"

namespace kavrol::reply {

// Every group: the shared layouts of reply codes 1, 8 and 9, nothing else.
constexpr GroupLayouts sharedLayoutsOnly(const char* name) {
    return {
        name,
        {
            nullptr,         // 0
            &SharedLayout1,  // 1
            nullptr,         // 2
            nullptr,         // 3
            nullptr,         // 4
            nullptr,         // 5
            nullptr,         // 6
            nullptr,         // 7
            &SharedLayout8,  // 8
            &SharedLayout9,  // 9
        },
    };
}

// A reply-code-3 layout of the group's own on top of the shared ones.
constexpr GroupLayouts withCode3(GroupLayouts group, const Layout& code3) {
    group.byReplyCode[3] = &code3;
    return group;
}

// The common set of most groups: the shared layouts of 1, 5, 6, 8 and 9, an
// own reply code 3, and no layout for 2, 4 and 7.
constexpr GroupLayouts groupWithOwnCode3(const char* name, const Layout& code3) {
    GroupLayouts group = withCode3(sharedLayoutsOnly(name), code3);
    group.byReplyCode[5] = &SharedLayout5;
    group.byReplyCode[6] = &SharedLayout6;
    return group;
}

// The common set with SharedLayout2 for reply code 2 as well.
constexpr GroupLayouts groupWithOwnCode3AndBits(const char* name, const Layout& code3) {
    GroupLayouts group = groupWithOwnCode3(name, code3);
    group.byReplyCode[2] = &SharedLayout2;
    return group;
}

}  // namespace kavrol::reply
