#include "cli/transaction.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include "common/wire.h"
#include "protocol/command_encoding.h"
#include "reply/coverage.h"

namespace kavrol::cli {

std::string checkRequest(const Request& r) {
    if (r.route.size() > tools::kMaxRoute) {
        return "a route has at most 9 bytes, " + std::to_string(r.route.size()) + " given";
    }
    if (!r.multiplexed && !r.route.empty()) return "a route needs a multiplexed frame";
    if (takesRaw(r.command)) {
        if (!r.words.empty()) return "command " + std::to_string(r.command) + " takes raw bytes (--raw), not words";
        const std::size_t limit = r.multiplexed ? tools::kMaxEnvelopeRaw - r.route.size() : tools::kMaxDirectRaw;
        if (r.raw.size() > limit) {
            return "raw payload of " + std::to_string(r.raw.size()) + " bytes does not fit the frame (at most " +
                   std::to_string(limit) + (r.multiplexed ? " with this route)" : " in a direct frame)");
        }
        return {};
    }
    if (!r.raw.empty())
        return "only commands 8 and 11 take raw bytes; use --words for command " + std::to_string(r.command);
    if (r.words.size() > 4) return "at most 4 words, " + std::to_string(r.words.size()) + " given";
    return {};
}

tools::Command wireCommand(const Request& r) {
    tools::Command c;
    c.multiplexed = r.multiplexed;
    c.route = r.route;
    c.command = r.command;
    c.subCommand = r.subCommand;
    if (takesRaw(r.command)) {
        c.payload = r.raw;
    } else {
        // As the library packs them (a request holds at most four words).
        std::uint16_t words[protocol::kMaxWordItems] = {};
        std::copy_n(r.words.begin(), std::min<std::size_t>(r.words.size(), protocol::kMaxWordItems), words);
        std::uint8_t packed[2 * protocol::kMaxWordItems];
        const unsigned n = protocol::writeWordPayload(words, static_cast<std::uint8_t>(r.words.size()), packed);
        c.payload.assign(packed, packed + n);
    }
    return c;
}

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

Outcome Line::transact(const Request& r) {
    Outcome out;
    KavrolCommand c{};
    c.routeCount = static_cast<std::uint8_t>(r.route.size());
    std::copy(r.route.begin(), r.route.end(), c.route);
    c.command = r.command;
    c.subCommand = r.subCommand;
    c.muxMode = r.multiplexed ? 1 : 0;
    std::copy(r.words.begin(), r.words.end(), c.words);
    if (takesRaw(r.command)) {
        c.itemCount = static_cast<std::uint8_t>(r.raw.size());
        c.rawData = r.raw.data();
        c.rawLength = static_cast<std::uint32_t>(r.raw.size());
    } else {
        c.itemCount = static_cast<std::uint8_t>(r.words.size());
    }
    const auto start = Clock::now();
    out.sendResult = kavrol_link_send(&link_, &c);
    std::uint8_t sent[KAVROL_MAX_COMMAND_FRAME];
    const std::int32_t sentCount = kavrol_link_last_sent(&link_, sent, sizeof sent);
    out.sent.assign(sent, sent + std::max(sentCount, 0));
    if (out.sendResult != KAVROL_OK) {
        out.status = out.sendResult;
        out.roundTripMs = msBetween(start, Clock::now());
        return out;
    }
    const auto receiveStart = Clock::now();
    out.status = kavrol_link_receive(&link_, r.model, out.buffer.data(), &out.record);
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
        reply::layoutCoverage(r.model, area, written);
        std::copy(std::begin(written), std::end(written), out.written.begin());
    }
    return out;
}

}  // namespace kavrol::cli
