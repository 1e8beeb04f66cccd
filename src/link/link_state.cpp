#include "link/link_state.h"

#include <cstring>
#include <new>

namespace kavrol::link {

namespace {
constinit LibraryState g_libraryState{};
}

LibraryState& libraryState() { return g_libraryState; }

LinkState& defaultLink() {
    LinkState& link = g_libraryState.defaultLink;
    link.host = &host::current();
    return link;
}

LinkState& startLink(KavrolLink& link) {
    LinkState& state = *::new (static_cast<void*>(link.opaque)) LinkState{};
    state.started = kStartedLink;
    return state;
}

const LinkState* contextOf(const KavrolLink* link) {
    if (link == nullptr) return nullptr;
    // The first word of the object tells whether an init has started it.
    std::uint32_t started = 0;
    std::memcpy(&started, link->opaque, sizeof started);
    if (started != kStartedLink) return nullptr;
    return std::launder(reinterpret_cast<const LinkState*>(link->opaque));
}

LinkState* contextOf(KavrolLink* link) {
    return const_cast<LinkState*>(contextOf(static_cast<const KavrolLink*>(link)));
}

void setLinkHost(KavrolLink& link, host::Host* host) {
    if (LinkState* state = contextOf(&link)) state->host = host;
}

}  // namespace kavrol::link
