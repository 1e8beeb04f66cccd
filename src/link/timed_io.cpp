#include "link/timed_io.h"

#include <algorithm>

#include "host/host.h"
#include "link/link_state.h"

namespace kavrol::link {

namespace {

// Queries the queue counts of the bound port. An unbound port or a failed
// query shows no progress, so the wait runs on to its deadline.
bool queryBound(const LinkState& link, host::QueueCounts& counts) {
    if (link.portHandle == nullptr) return false;
    return HostOf(link).queryQueues(link.portHandle, counts);
}

// Polls the queue counts until `done` holds (1) or the time-out has passed
// (-2). Elapsed time is the wrap-safe difference of two tick readings; the
// deadline is checked before every query. A time-out of 0xFFFFFFFF never
// passes.
template <typename Done>
std::int32_t waitFor(const LinkState& link, Done done) {
    host::Host& h = HostOf(link);
    const std::uint32_t start = h.tickMs();
    for (;;) {
        const std::uint32_t elapsed = h.tickMs() - start;
        if (elapsed > link.timeoutMs) return kTimeout;
        host::QueueCounts counts{};
        if (queryBound(link, counts) && done(counts)) return kOk;
    }
}

std::int32_t waitOutputEmpty(const LinkState& link) {
    return waitFor(link, [](const host::QueueCounts& c) { return c.outQueue == 0; });
}

}  // namespace

void BindPort(LinkState& link, void* portHandle, std::uint32_t timeoutMs) {
    link.portHandle = portHandle;
    link.timeoutMs = timeoutMs;
}

std::int32_t TimedWrite(LinkState& link, const std::uint8_t* bytes, std::uint16_t count) {
    if (link.portHandle != nullptr) {
        host::Host& h = HostOf(link);
        h.purge(link.portHandle, host::kPurgeReceive);
        h.purge(link.portHandle, host::kPurgeTransmit);
        h.write(link.portHandle, bytes, count, link.portOverlapped);
    }
    return waitOutputEmpty(link);
}

std::int32_t TimedRead(LinkState& link, std::uint8_t* dest, std::uint16_t count) {
    const std::int32_t waited = waitFor(link, [count](const host::QueueCounts& c) {
        const std::uint32_t available = std::min<std::uint32_t>(count, c.inQueue);
        return available >= count;
    });
    if (waited != kOk) return waited;
    if (count == 0) return kOk;
    host::Host& h = HostOf(link);
    if (h.read(link.portHandle, dest, count, link.portOverlapped)) return kOk;
    h.clearError(link.portHandle);
    return kReadFailed;
}

void SendAck(LinkState& link, std::uint8_t byte) {
    if (link.portHandle == nullptr) return;
    HostOf(link).write(link.portHandle, &byte, 1, nullptr);
    // Wait until the byte has left, so that the transmit purge of the next
    // command cannot discard it. The outcome does not change the result.
    static_cast<void>(waitOutputEmpty(link));
}

}  // namespace kavrol::link
