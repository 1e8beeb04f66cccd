#include "link/link_state.h"

namespace kavrol::link {

namespace {
constinit LinkState g_linkState{};
}

LinkState& linkState() { return g_linkState; }

}  // namespace kavrol::link
