#include "cli/transaction.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include "reply/coverage.h"

namespace kavrol::cli {

std::size_t Outcome::writtenCount() const {
    return static_cast<std::size_t>(std::count(written.begin(), written.end(), true));
}

namespace {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Appends what the port delivers until it has been quiet for quietMs or the
// deadline has passed; reads what is already queued in any case.
void drainInto(Bytes& out, int fd, Clock::time_point deadline, int quietMs) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        const int wait = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, quietMs));
        if (::poll(&p, 1, wait) <= 0 || (p.revents & POLLIN) == 0) return;
        std::uint8_t buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return;
        out.insert(out.end(), buf, buf + n);
    }
}

// After a frame error the rest of the reply may still be on its way.
constexpr int kQuietAfterErrorMs = 50;

}  // namespace

Line::Line(int fd, std::uint32_t timeoutMs) : link_{}, fd_(fd), timeoutMs_(timeoutMs) {
    kavrol_link_init(&link_, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)), timeoutMs);
}

void Line::setTimeout(std::uint32_t timeoutMs) {
    if (timeoutMs == timeoutMs_) return;
    timeoutMs_ = timeoutMs;
    kavrol_link_init(&link_, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd_)), timeoutMs);
}

Outcome Line::transact(const HostCommand& c) {
    Outcome out;
    const KavrolCommand command = c.linkCommand();
    const auto start = Clock::now();
    out.sendResult = kavrol_link_send(&link_, &command);
    std::uint8_t sent[KAVROL_MAX_COMMAND_FRAME];
    const std::int32_t sentCount = kavrol_link_last_sent(&link_, sent, sizeof sent);
    out.sent.assign(sent, sent + std::max(sentCount, 0));
    if (out.sendResult != KAVROL_OK) {
        out.status = out.sendResult;
        out.roundTripMs = msBetween(start, Clock::now());
        return out;
    }
    const auto receiveStart = Clock::now();
    out.status = kavrol_link_receive(&link_, c.model, out.buffer.data(), &out.record);
    out.roundTripMs = msBetween(start, Clock::now());
    std::uint8_t frame[KAVROL_MAX_REPLY_FRAME];
    const std::int32_t got = kavrol_link_last_received(&link_, frame, sizeof frame);
    out.received.assign(frame, frame + std::max(got, 0));
    out.arrived = out.received;
    drainInto(out.arrived, fd_, receiveStart + std::chrono::milliseconds(timeoutMs_),
              out.status == KAVROL_OK ? 0 : kQuietAfterErrorMs);
    if (out.status == KAVROL_OK) {
        // The receive area as the library assembled it: the frame, zeros after.
        std::uint8_t area[reply::kReceiveAreaSize] = {};
        std::memcpy(area, out.received.data(), std::min<std::size_t>(out.received.size(), sizeof area));
        bool written[reply::kReplyBufferSize] = {};
        reply::layoutCoverage(c.model, area, written);
        std::copy(std::begin(written), std::end(written), out.written.begin());
    }
    return out;
}

}  // namespace kavrol::cli
