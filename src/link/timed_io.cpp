#include "link/timed_io.h"

#include "host/host.h"
#include "link/link_state.h"

namespace kavrol::link {

namespace {

// Queries the one queue count the wait looks at on the bound port. An
// unbound port or a failed query shows no progress, so the wait runs on to
// its deadline.
bool queryBound(const LinkState& link, host::PortWait::Kind kind, std::uint32_t& count) {
    if (link.portHandle == nullptr) return false;
    return hostOf(link).queryQueue(link.portHandle, kind, count);
}

// Milliseconds until a wait that has run `elapsed` ms passes its deadline:
// the first reading strictly past start + timeout.
std::uint32_t budgetAfter(const LinkState& link, std::uint32_t elapsed) {
    const std::uint32_t timeout = link.timeoutMs;
    if (timeout == host::kNoDeadline) return host::kNoDeadline;
    return timeout - elapsed + 1U;
}

// Milliseconds until the last tick at which a wait may still succeed: a
// wait sleeps no further, so bytes that come before the deadline are seen.
std::uint32_t lastLookIn(const LinkState& link, std::uint32_t elapsed) {
    const std::uint32_t timeout = link.timeoutMs;
    if (timeout == host::kNoDeadline) return host::kNoDeadline;
    return timeout - elapsed;
}

// Records a lost port; the operation then ends with the result it would
// have given at its deadline.
std::int32_t lost(LinkState& link, std::int32_t result) {
    link.portLost = true;
    return result;
}

// Looks at the wait's queue count until `done` holds (1) or the time-out has
// passed (-2). Elapsed time is the wrap-safe difference of two tick
// readings; the deadline is checked before every query. A time-out of
// 0xFFFFFFFF never passes. Between two looks the host blocks until the
// counts may have moved, at most until the deadline; a lost port ends the
// wait at once with -2. `start` is the tick reading the wait counts from;
// `elapsed` receives the time of the last check.
template <typename Done>
std::int32_t waitFor(LinkState& link, host::PortWait wait, Done done, std::uint32_t start, std::uint32_t& elapsed) {
    host::Host& h = hostOf(link);
    for (;; ++wait.pass) {
        elapsed = h.tickMs() - start;
        if (elapsed > link.timeoutMs) return kTimeout;
        std::uint32_t count = 0;
        const bool known = queryBound(link, wait.kind, count);
        if (known && done(count)) return kOk;
        const std::uint32_t queued = known ? count : 0U;
        wait.stalls = wait.pass != 0 && queued == wait.queued ? wait.stalls + 1 : 0;
        wait.queued = queued;
        if (h.waitPort(link.portHandle, wait, lastLookIn(link, elapsed)) == host::PortOutcome::Lost) {
            return lost(link, kTimeout);
        }
    }
}

std::int32_t waitOutputEmpty(LinkState& link) {
    host::PortWait wait;
    wait.kind = host::PortWait::Kind::OutputEmpty;
    std::uint32_t elapsed = 0;
    return waitFor(
        link, wait, [](std::uint32_t outQueue) { return outQueue == 0; }, hostOf(link).tickMs(), elapsed);
}

// Hands the block to the driver, bounded by the time-out. A line that takes
// no more bytes in that time gives -2: the unsent rest can never drain.
std::int32_t writeBounded(LinkState& link, const std::uint8_t* bytes, std::uint16_t count, void* overlapped) {
    const host::PortOutcome sent = hostOf(link).write(link.portHandle, bytes, count, overlapped, budgetAfter(link, 0));
    if (sent == host::PortOutcome::Lost) return lost(link, kTimeout);
    if (sent == host::PortOutcome::TimedOut) return kTimeout;
    return kOk;
}

// Reads count bytes as the driver sees them arrive, in rounds bounded by
// the time left from the tick reading `start` (kNotServed, with no further
// tick reading, when the host cannot bound such a read). The deadline is
// checked before every later round, by the same rule as waitFor: a
// round lasts until the last tick at which the bytes may still come (at
// least 1 ms, since the driver may end a round before the tick shows it),
// so the wait ends at the first reading past the deadline. A round that
// brings nothing, after one that brought nothing too, is followed by a
// host wait, so that a driver that ends reads early cannot make this spin.
constexpr std::int32_t kNotServed = 0;

std::int32_t receiveArriving(LinkState& link, std::uint8_t* dest, std::uint16_t count, std::uint32_t start) {
    host::Host& h = hostOf(link);
    host::PortWait idle;
    idle.wanted = count;
    std::uint32_t got = 0;
    for (bool first = true;; first = false) {
        const std::uint32_t elapsed = first ? 0U : h.tickMs() - start;
        if (elapsed > link.timeoutMs) return kTimeout;
        const std::uint32_t budget = lastLookIn(link, elapsed);
        std::uint32_t more = 0;
        const host::PortOutcome r =
            h.receive(link.portHandle, dest + got, count - got, link.portOverlapped, budget == 0 ? 1U : budget, more);
        if (r == host::PortOutcome::Unserved) return got == 0 ? kNotServed : kTimeout;
        got += more < count - got ? more : count - got;
        if (r == host::PortOutcome::Lost) return lost(link, kTimeout);
        if (r == host::PortOutcome::Failed) {
            h.clearError(link.portHandle);
            return kReadFailed;
        }
        if (got == count) return kOk;
        if (more != 0) {
            idle.pass = 0;
        } else if (idle.pass++ != 0) {
            idle.queued = got;
            if (h.waitPort(link.portHandle, idle, budget) == host::PortOutcome::Lost) return lost(link, kTimeout);
        }
    }
}

}  // namespace

void bindPort(LinkState& link, void* portHandle, std::uint32_t timeoutMs) {
    link.portHandle = portHandle;
    link.timeoutMs = timeoutMs;
}

std::int32_t timedWrite(LinkState& link, const std::uint8_t* bytes, std::uint16_t count) {
    link.portLost = false;
    if (link.portHandle != nullptr) {
        host::Host& h = hostOf(link);
        h.purge(link.portHandle, host::kPurgeReceive);
        h.purge(link.portHandle, host::kPurgeTransmit);
        const std::int32_t written = writeBounded(link, bytes, count, link.portOverlapped);
        if (written != kOk) return written;
    }
    return waitOutputEmpty(link);
}

std::int32_t timedRead(LinkState& link, std::uint8_t* dest, std::uint16_t count) {
    link.portLost = false;
    const std::uint32_t start = hostOf(link).tickMs();
    if (count != 0 && link.portHandle != nullptr) {
        const std::int32_t received = receiveArriving(link, dest, count, start);
        if (received != kNotServed) return received;
    }
    host::PortWait wait;
    wait.wanted = count;
    std::uint32_t elapsed = 0;
    const std::int32_t waited = waitFor(
        link, wait, [count](std::uint32_t inQueue) { return inQueue >= count; }, start, elapsed);
    if (waited != kOk) return waited;
    if (count == 0) return kOk;
    host::Host& h = hostOf(link);
    const host::PortOutcome got = h.read(link.portHandle, dest, count, link.portOverlapped, budgetAfter(link, elapsed));
    if (got == host::PortOutcome::Done) return kOk;
    if (got == host::PortOutcome::Lost) link.portLost = true;
    h.clearError(link.portHandle);
    return kReadFailed;
}

void sendAck(LinkState& link, std::uint8_t byte) {
    link.portLost = false;
    if (link.portHandle == nullptr) return;
    // Wait until the byte has left, so that the transmit purge of the next
    // command cannot discard it. The outcome does not change the result.
    if (writeBounded(link, &byte, 1, nullptr) == kOk) static_cast<void>(waitOutputEmpty(link));
}

}  // namespace kavrol::link
