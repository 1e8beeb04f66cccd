#include "link/link_state.h"

#include <new>

namespace kavrol::link {

namespace {
constinit LibraryState g_libraryState{};
}

LibraryState& libraryState() { return g_libraryState; }

LinkState& DefaultLink() {
    LinkState& link = g_libraryState.defaultLink;
    link.host = &host::current();
    return link;
}

LinkState& StartLink(KavrolLink& link) { return *::new (static_cast<void*>(link.opaque)) LinkState{}; }

LinkState& ContextOf(KavrolLink& link) { return *std::launder(reinterpret_cast<LinkState*>(link.opaque)); }

const LinkState& ContextOf(const KavrolLink& link) {
    return *std::launder(reinterpret_cast<const LinkState*>(link.opaque));
}

void SetLinkHost(KavrolLink& link, host::Host* host) { ContextOf(link).host = host; }

}  // namespace kavrol::link
