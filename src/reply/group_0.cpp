// Model group {0}: the shared layouts of reply codes 1, 8 and 9 only.
#include "reply/model_groups.h"
#include "reply/shared_layouts.h"

namespace kavrol::reply {

const GroupLayouts kGroup0{
    "0",
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

}  // namespace kavrol::reply
