// The per-link context and the process-wide state of the eleven exports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/host.h"
#include "kavrol32/link.h"
#include "protocol/frame.h"

namespace kavrol::link {

// Everything one serial line needs. The link API keeps one inside each
// caller's KavrolLink; the eleven exports use the default link below.
struct LinkState {
    // kStartedLink once kavrol_link_init has run on the object.
    std::uint32_t started = 0;
    // The host this link's port calls and tick readings go to; null means
    // the platform host. kavrol_link_init sets it to null; a test installs
    // a fake for one link with setLinkHost after the init.
    host::Host* host = nullptr;
    host::PortHandle portHandle = nullptr;  // null: unbound, no port call is made
    std::uint32_t timeoutMs = 0;
    // Set when the last port operation found the port hung up or gone.
    bool portLost = false;
    // Bytes the last receive read from the port, as read.
    std::uint16_t receivedCount = 0;
    std::uint8_t received[KAVROL_MAX_REPLY_FRAME] = {};
    // Bytes the last send handed to the port, as sent.
    std::uint8_t sentCount = 0;
    std::uint8_t sent[KAVROL_MAX_COMMAND_FRAME] = {};
    // The zeroed OVERLAPPED record handed to every port read and write.
    alignas(8) unsigned char portOverlapped[host::kOverlappedSize] = {};
};

// The limits of the public header are the protocol's.
static_assert(KAVROL_MAX_REPLY_FRAME == protocol::kMaxReplyIndex + 1, "a reply frame runs r[0..250]");
static_assert(KAVROL_MAX_ROUTE == protocol::kMaxRoute, "route length");
static_assert(KAVROL_MAX_COMMAND_FRAME == protocol::kCommandAreaSize, "a command frame fills the command area");

static_assert(offsetof(LinkState, started) == 0, "the start mark is the link's first word");
static_assert(sizeof(LinkState) <= sizeof(KavrolLink), "a link context must fit in KavrolLink");
static_assert(alignof(LinkState) <= alignof(KavrolLink), "KavrolLink must be aligned for a link context");

// The host the link's calls go through.
inline host::Host& hostOf(const LinkState& link) { return link.host != nullptr ? *link.host : host::platform(); }

// The state behind the eleven exports: the default link and the one file of
// the block I/O, which stays one per process.
struct LibraryState {
    LinkState defaultLink;
    host::FileHandle fileHandle = host::kFileError;
};

LibraryState& libraryState();

// The default link, pointed at the process-wide installed host (so that
// host::install and ScopedHost reach the eleven exports as before).
LinkState& defaultLink();

inline constexpr std::uint32_t kStartedLink = 0x4B4C4E4BU;

// Starts a link context in the caller's object and returns it.
LinkState& startLink(KavrolLink& link);

// The context kavrol_link_init started in the caller's object; null for a
// null link or an object no init has started.
LinkState* contextOf(KavrolLink* link);
const LinkState* contextOf(const KavrolLink* link);

// Sends one link's port calls and tick readings to host (null: platform).
void setLinkHost(KavrolLink& link, host::Host* host);

}  // namespace kavrol::link
