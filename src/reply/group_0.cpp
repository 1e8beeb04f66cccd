// Model group {0}: the shared layouts of reply codes 1, 8 and 9 only.
#include "reply/group_sets.h"
#include "reply/model_groups.h"

namespace kavrol::reply {

constinit const GroupLayouts kGroup0 = sharedLayoutsOnly("0");

}  // namespace kavrol::reply
