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

// Milliseconds until a wait that has run `elapsed` ms passes its deadline:
// the first reading strictly past start + timeout.
std::uint32_t budgetAfter(std::uint32_t elapsed) {
    const std::uint32_t timeout = linkState().timeoutMs;
    if (timeout == host::kNoDeadline) return host::kNoDeadline;
    return timeout - elapsed + 1U;
}

// Milliseconds until the last tick at which a wait may still succeed: a
// wait sleeps no further, so bytes that come before the deadline are seen.
std::uint32_t lastLookIn(std::uint32_t elapsed) {
    const std::uint32_t timeout = linkState().timeoutMs;
    if (timeout == host::kNoDeadline) return host::kNoDeadline;
    return timeout - elapsed;
}

// Records a lost port; the operation then ends with the result it would
// have given at its deadline.
std::int32_t lost(std::int32_t result) {
    linkState().portLost = true;
    return result;
}

// Looks at the queue counts until `done` holds (1) or the time-out has
// passed (-2). Elapsed time is the wrap-safe difference of two tick
// readings; the deadline is checked before every query. A time-out of
// 0xFFFFFFFF never passes. Between two looks the host blocks until the
// counts may have moved, at most until the deadline; a lost port ends the
// wait at once with -2. `elapsed` receives the time of the last check.
template <typename Done>
std::int32_t waitFor(host::PortWait wait, Done done, std::uint32_t& elapsed) {
    host::Host& h = host::current();
    const std::uint32_t start = h.tickMs();
    for (;; ++wait.pass) {
        elapsed = h.tickMs() - start;
        if (elapsed > linkState().timeoutMs) return kTimeout;
        host::QueueCounts counts{};
        const bool known = queryBound(counts);
        if (known && done(counts)) return kOk;
        const std::uint32_t queued =
            !known ? 0U : wait.kind == host::PortWait::Kind::Input ? counts.inQueue : counts.outQueue;
        wait.stalls = wait.pass != 0 && queued == wait.queued ? wait.stalls + 1 : 0;
        wait.queued = queued;
        if (h.waitPort(linkState().portHandle, wait, lastLookIn(elapsed)) == host::PortOutcome::Lost) {
            return lost(kTimeout);
        }
    }
}

std::int32_t waitOutputEmpty() {
    host::PortWait wait;
    wait.kind = host::PortWait::Kind::OutputEmpty;
    std::uint32_t elapsed = 0;
    return waitFor(wait, [](const host::QueueCounts& c) { return c.outQueue == 0; }, elapsed);
}

// Hands the block to the driver, bounded by the time-out. A line that takes
// no more bytes in that time gives -2: the unsent rest can never drain.
std::int32_t writeBounded(const std::uint8_t* bytes, std::uint16_t count, void* overlapped) {
    const LinkState& state = linkState();
    const host::PortOutcome sent =
        host::current().write(state.portHandle, bytes, count, overlapped, budgetAfter(0));
    if (sent == host::PortOutcome::Lost) return lost(kTimeout);
    if (sent == host::PortOutcome::TimedOut) return kTimeout;
    return kOk;
}

}  // namespace

void bindPort(void* portHandle, std::uint32_t timeoutMs) {
    LinkState& state = linkState();
    state.portHandle = portHandle;
    state.timeoutMs = timeoutMs;
}

std::int32_t TimedWrite(const std::uint8_t* bytes, std::uint16_t count) {
    LinkState& state = linkState();
    state.portLost = false;
    if (state.portHandle != nullptr) {
        host::Host& h = host::current();
        h.purge(state.portHandle, host::kPurgeReceive);
        h.purge(state.portHandle, host::kPurgeTransmit);
        const std::int32_t written = writeBounded(bytes, count, state.portOverlapped);
        if (written != kOk) return written;
    }
    return waitOutputEmpty();
}

std::int32_t TimedRead(std::uint8_t* dest, std::uint16_t count) {
    LinkState& state = linkState();
    state.portLost = false;
    host::PortWait wait;
    wait.wanted = count;
    std::uint32_t elapsed = 0;
    const std::int32_t waited = waitFor(
        wait,
        [count](const host::QueueCounts& c) {
            const std::uint32_t available = std::min<std::uint32_t>(count, c.inQueue);
            return available >= count;
        },
        elapsed);
    if (waited != kOk) return waited;
    if (count == 0) return kOk;
    host::Host& h = host::current();
    const host::PortOutcome got = h.read(state.portHandle, dest, count, state.portOverlapped, budgetAfter(elapsed));
    if (got == host::PortOutcome::Done) return kOk;
    if (got == host::PortOutcome::Lost) state.portLost = true;
    h.clearError(state.portHandle);
    return kReadFailed;
}

void SendAck(std::uint8_t byte) {
    LinkState& state = linkState();
    state.portLost = false;
    if (state.portHandle == nullptr) return;
    // Wait until the byte has left, so that the transmit purge of the next
    // command cannot discard it. The outcome does not change the result.
    if (writeBounded(&byte, 1, nullptr) == kOk) static_cast<void>(waitOutputEmpty());
}

}  // namespace kavrol::link
