#include "link/timed_io.h"

#include <algorithm>

#include "host/host.h"
#include "link/link_state.h"

namespace kavrol::link {

namespace {

// Queries the queue counts of the bound port. An unbound port or a failed
// query shows no progress, so the wait runs on to its deadline.
bool queryBound(host::QueueCounts& counts) {
    const LinkState& state = linkState();
    if (state.portHandle == nullptr) return false;
    return host::current().queryQueues(state.portHandle, counts);
}

// Polls the queue counts until `done` holds (1) or the time-out has passed
// (-2). Elapsed time is the wrap-safe difference of two tick readings; the
// deadline is checked before every query. A time-out of 0xFFFFFFFF never
// passes.
template <typename Done>
std::int32_t waitFor(Done done) {
    host::Host& h = host::current();
    const std::uint32_t start = h.tickMs();
    for (;;) {
        const std::uint32_t elapsed = h.tickMs() - start;
        if (elapsed > linkState().timeoutMs) return kTimeout;
        host::QueueCounts counts{};
        if (queryBound(counts) && done(counts)) return kOk;
    }
}

std::int32_t waitOutputEmpty() {
    return waitFor([](const host::QueueCounts& c) { return c.outQueue == 0; });
}

}  // namespace

void bindPort(void* portHandle, std::uint32_t timeoutMs) {
    LinkState& state = linkState();
    state.portHandle = portHandle;
    state.timeoutMs = timeoutMs;
}

std::int32_t TimedWrite(const std::uint8_t* bytes, std::uint16_t count) {
    LinkState& state = linkState();
    if (state.portHandle != nullptr) {
        host::Host& h = host::current();
        h.purge(state.portHandle, host::kPurgeReceive);
        h.purge(state.portHandle, host::kPurgeTransmit);
        h.write(state.portHandle, bytes, count, state.portOverlapped);
    }
    return waitOutputEmpty();
}

std::int32_t TimedRead(std::uint8_t* dest, std::uint16_t count) {
    const std::int32_t waited = waitFor([count](const host::QueueCounts& c) {
        const std::uint32_t available = std::min<std::uint32_t>(count, c.inQueue);
        return available >= count;
    });
    if (waited != kOk) return waited;
    if (count == 0) return kOk;
    LinkState& state = linkState();
    host::Host& h = host::current();
    if (h.read(state.portHandle, dest, count, state.portOverlapped)) return kOk;
    h.clearError(state.portHandle);
    return kReadFailed;
}

void SendAck(std::uint8_t byte) {
    const LinkState& state = linkState();
    if (state.portHandle == nullptr) return;
    host::current().write(state.portHandle, &byte, 1, nullptr);
    // Wait until the byte has left, so that the transmit purge of the next
    // command cannot discard it. The outcome does not change the result.
    static_cast<void>(waitOutputEmpty());
}

}  // namespace kavrol::link
