#include "simulator/simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

namespace kavrol::tools {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr int kSendLimitMs = 1000;    // a stalled line gives up a reply after this
constexpr int kNoClientPauseMs = 20;  // back-off while nobody holds the other end

std::string timestamp() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    ::localtime_r(&ts.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
                  ts.tv_nsec / 1000000);
    return text;
}

std::string faultText(const std::vector<AppliedFault>& applied) {
    std::string s;
    for (const AppliedFault& f : applied) {
        s += (s.empty() ? "" : ", ") + std::string(faultName(f.kind));
        if (f.kind != FaultKind::NoReply && f.kind != FaultKind::BadChecksum) s += " " + std::to_string(f.value);
    }
    return s;
}

// Microseconds on the monotonic clock, which every process of the machine shares.
std::int64_t monotonicUs(Clock::time_point t) {
    return std::chrono::duration_cast<microseconds>(t.time_since_epoch()).count();
}

// A poll time-out that covers the span to `until` (rounded up, at least 0).
int pollMsUntil(Clock::time_point until) {
    const auto left = std::chrono::ceil<milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

}  // namespace

std::uint32_t characterTimeUs(unsigned baud, unsigned dataBits, char parity, unsigned stopBits) {
    if (baud == 0) return 0;
    const unsigned bits = 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits;
    return static_cast<std::uint32_t>((bits * 1000000ULL + baud - 1) / baud);
}

Simulator::Simulator(SimulatorConfig config) : config_(std::move(config)) {}

void Simulator::stop() {
    stopping_.store(true);
    wake_.notify();
}

void Simulator::log(const char* mark, const std::string& text) {
    if (config_.log == nullptr) return;
    std::fprintf(config_.log, "%s %s %s\n", timestamp().c_str(), mark, text.c_str());
    std::fflush(config_.log);
}

bool Simulator::interruptedWait(int fd, std::uint32_t ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
        const int n = ::poll(p, 2, static_cast<int>(left));
        if (n < 0 && errno != EINTR) return false;
        if (n > 0 && ((p[0].revents & POLLIN) != 0 || (p[1].revents & POLLIN) != 0)) return true;
    }
}

bool Simulator::waitWritable(int fd, Clock::time_point deadline) {
    while (!stopping_.load() && Clock::now() < deadline) {
        pollfd p[2] = {{fd, POLLOUT, 0}, {wake_.fd(), POLLIN, 0}};
        const int n = ::poll(p, 2, pollMsUntil(deadline));
        if (n < 0 && errno != EINTR) return false;
        if (n > 0 && (p[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) return true;
    }
    return false;
}

bool Simulator::pause(Clock::time_point until) {
    while (!stopping_.load()) {
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero()) return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd p{wake_.fd(), POLLIN, 0};
        if (::ppoll(&p, 1, &ts, nullptr) < 0 && errno != EINTR) return false;
    }
    return false;
}

// The descriptor is non-blocking: a client that reads nothing fills the
// line, and the reply is given up once no byte has gone out for the send
// limit, so that a stop is honoured and the next command is still read.
// With a line time, byte i goes out when it would have arrived whole on a
// real line: i + 1 character times after the reply began.
bool Simulator::send(int fd, const Bytes& bytes) {
    const auto start = Clock::now();
    const microseconds byteTime(config_.byteTimeUs);
    auto progress = start;
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (stopping_.load()) {
            log("!!", "reply cut short: stopping");
            return false;
        }
        std::size_t due = bytes.size();
        if (byteTime.count() > 0) {
            const auto elapsed = std::chrono::duration_cast<microseconds>(Clock::now() - start);
            due = std::min(bytes.size(), static_cast<std::size_t>(elapsed / byteTime));
            if (due <= done) {
                pause(start + byteTime * static_cast<long>(done + 1));
                continue;
            }
        }
        const ssize_t n = ::write(fd, bytes.data() + done, due - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            progress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN && waitWritable(fd, progress + milliseconds(kSendLimitMs))) continue;
        const std::string why = n < 0 && errno != EAGAIN ? std::strerror(errno)
                                : stopping_.load()
                                    ? "stopping"
                                    : "the line took nothing for " + std::to_string(kSendLimitMs) + " ms";
        log("!!", "reply could not be sent (" + std::to_string(done) + " of " + std::to_string(bytes.size()) +
                      " bytes went out): " + why);
        return false;
    }
    return true;
}

void Simulator::fail(const std::string& why) {
    if (failure_.empty()) failure_ = why;
    stopping_.store(true);
}

// A fault log that cannot be written ends the simulator: a test reading it
// would otherwise judge a run by a log that stops short.
void Simulator::writeFaultLog(const std::string& line) {
    std::FILE* f = config_.faultLog;
    if (f == nullptr || !failure_.empty()) return;
    errno = 0;
    if (std::fputs(line.c_str(), f) < 0 || std::fputc('\n', f) == EOF || std::fflush(f) != 0) {
        const int e = errno;
        fail(std::string("cannot write ") + config_.faultLogName + ": " + (e != 0 ? std::strerror(e) : "write failed"));
    }
}

void Simulator::onDropped(const Bytes& bytes, const std::string& reason) {
    log("!!", toHex(bytes) + "  dropped: " + reason);
    writeFaultLog(json{{"dropped", toHex(bytes)}, {"reason", reason}}.dump());
}

void Simulator::onFrame(int fd, const ScanResult& frame) {
    const protocol::CommandFrameFields c = frame.fields();
    if (c.multiplexed && !routeServed(config_.scenario, c.route)) {
        onDropped(frame.bytes,
                  "route " + (c.route.empty() ? std::string("(empty)") : toHex(c.route, ',')) + " is not served");
        return;
    }
    const std::uint64_t seq = ++seq_;
    json entry{{"seq", seq},
               {"multiplexed", c.multiplexed},
               {"route", std::vector<unsigned>(c.route.begin(), c.route.end())},
               {"command", c.command},
               {"sub", c.subCommand},
               {"payload", toHex(c.payload)}};
    log("<-", toHex(frame.bytes) + "  #" + std::to_string(seq) + " " + describeCommand(c));

    const auto ruleIndex = matchRule(config_.scenario, c);
    if (!ruleIndex) {
        log("..", "no rule answers this command: no reply");
        entry.update({{"rule", nullptr},
                      {"reply", nullptr},
                      {"faults", json::array()},
                      {"delay_ms", 0},
                      {"sent", ""},
                      {"sent_us", nullptr},
                      {"abandoned", false},
                      {"expect", protocol::kTimeout},
                      {"expect_detail", "no rule: no reply"}});
        writeFaultLog(entry.dump());
        return;
    }
    const Rule& rule = config_.scenario.rules[*ruleIndex];
    std::vector<FaultSpec> faults = rule.faults;
    faults.insert(faults.end(), config_.scenario.faults.begin(), config_.scenario.faults.end());
    ReplyPlan plan = planReply(replyFor(rule, c), faults, config_.seed, seq);

    json applied = json::array();
    for (const AppliedFault& f : plan.applied) applied.push_back({{"kind", faultName(f.kind)}, {"value", f.value}});
    if (!plan.applied.empty()) log("~~", "faults: " + faultText(plan.applied));

    bool abandoned = false;
    if (plan.delayMs > 0 && interruptedWait(fd, plan.delayMs)) {
        // The host has moved on (or we are stopping): a late reply would
        // only land in its next transaction.
        abandoned = true;
        log("..", "reply abandoned: the host sent again during the delay");
    }
    json sentAt = nullptr;  // when the last byte went out
    if (!abandoned && !plan.bytes.empty()) {
        const std::string what = "reply code " + std::to_string(rule.replyCode) + " (rule " +
                                 std::to_string(*ruleIndex) + (rule.note.empty() ? "" : ": " + rule.note) + ")";
        if (send(fd, plan.bytes)) {
            sentAt = monotonicUs(Clock::now());
            log("->", toHex(plan.bytes) + "  " + what);
        }
    } else if (!abandoned) {
        log("..", "no reply");
    }
    const ReplyVerdict expect = clientVerdict(plan, abandoned, config_.clientTimeoutMs);
    entry.update({{"rule", *ruleIndex},
                  {"reply", rule.replyCode},
                  {"faults", applied},
                  {"delay_ms", plan.delayMs},
                  {"sent", abandoned ? std::string() : toHex(plan.bytes)},
                  {"sent_us", sentAt},
                  {"abandoned", abandoned},
                  {"expect", expect.status},
                  {"expect_detail", expect.detail}});
    writeFaultLog(entry.dump());
}

int Simulator::serve(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        fail(std::string("cannot make the line non-blocking: ") + std::strerror(errno));
        return 1;
    }
    DeviceScanner scanner;
    auto lastInput = Clock::now();
    std::uint8_t buf[512];
    while (!stopping_.load()) {
        int timeout = -1;
        if (scanner.pending()) {
            const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastInput).count();
            timeout = static_cast<int>(quiet >= config_.frameGapMs ? 0 : config_.frameGapMs - quiet);
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
        const int n = ::poll(p, 2, timeout);
        if (n < 0 && errno != EINTR) {
            fail(std::string("poll failed: ") + std::strerror(errno));
            return 1;
        }
        if (stopping_.load()) break;
        if (n > 0 && (p[0].revents & POLLIN) != 0) {
            const ssize_t got = ::read(fd, buf, sizeof buf);
            if (got > 0) {
                scanner.feed(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(got)));
                lastInput = Clock::now();
            } else if (got == 0 || errno == EIO) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kNoClientPauseMs));
            } else if (errno != EINTR && errno != EAGAIN) {
                fail(std::string("read failed: ") + std::strerror(errno));
                return 1;
            }
        } else if (n > 0 && (p[0].revents & (POLLHUP | POLLERR)) != 0) {
            // Nobody holds the other end of the line; wait for a client.
            std::this_thread::sleep_for(std::chrono::milliseconds(kNoClientPauseMs));
        }
        const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastInput).count();
        const bool gapExpired = quiet >= config_.frameGapMs;
        while (auto r = scanner.next(gapExpired)) {
            if (r->kind == ScanResult::Kind::Frame) {
                onFrame(fd, *r);
            } else {
                onDropped(r->bytes, r->reason);
            }
        }
    }
    return failure_.empty() ? 0 : 1;
}

}  // namespace kavrol::tools
