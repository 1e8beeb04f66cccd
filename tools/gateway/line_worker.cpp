#include "gateway/line_worker.h"

#include <algorithm>

#include "gateway/log.h"
#include "gateway/topics.h"

namespace kavrol::gateway {

namespace {

constexpr std::chrono::milliseconds kReopenPoll{50};
// State changes kept while the broker is away; the latest always stays.
constexpr std::size_t kMaxStateChanges = 16;
constexpr const char* kCommandPoll = "cmd";

}  // namespace

LineWorker::LineWorker(const GatewayConfig& config, std::size_t index, Outbox& outbox, Metrics& metrics,
                       const Wakeup& wakeup)
    : config_(config),
      line_(config.lines.at(index)),
      index_(index),
      outbox_(outbox),
      metrics_(metrics),
      wakeup_(wakeup) {
    for (std::size_t d = 0; d < line_.devices.size(); ++d) {
        const DeviceConfig& device = line_.devices[d];
        for (std::size_t p = 0; p < device.polls.size(); ++p) {
            schedule_.push_back({d, p, pollTopic(config, line_, device, device.polls[p]), Clock::time_point{}});
        }
    }
}

LineWorker::~LineWorker() {
    requestStop();
    join();
}

void LineWorker::start() {
    thread_ = std::thread([this] { run(); });
}

void LineWorker::requestStop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

void LineWorker::join() {
    if (thread_.joinable()) thread_.join();
}

bool LineWorker::submit(PendingCommand& c) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (ended_) return false;
        commands_.push_back(std::move(c));
    }
    wake_.notify_all();
    return true;
}

std::optional<std::string> LineWorker::takeStateChange() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stateChanges_.empty()) return std::nullopt;
    std::string s = std::move(stateChanges_.front());
    stateChanges_.pop_front();
    return s;
}

void LineWorker::restateCurrent() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (state_.empty()) return;
        stateChanges_.push_back(state_);
    }
    wakeup_.notify();
}

LineCounts LineWorker::counts() const {
    LineCounts c;
    c.transactions = transactions_.load();
    c.lost = lost_.load();
    c.reopened = reopened_.load();
    c.dropped = outbox_.dropped();
    c.queued = outbox_.depth();
    return c;
}

void LineWorker::setState(const std::string& state) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        state_ = state;
        stateChanges_.push_back(state);
        if (stateChanges_.size() > kMaxStateChanges) stateChanges_.pop_front();
    }
    wakeup_.notify();
}

bool LineWorker::waitUntil(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_until(lock, until, [&] { return stop_ || !commands_.empty(); });
    return !stop_;
}

std::optional<PendingCommand> LineWorker::takeCommand() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return takeFront(commands_);
}

bool LineWorker::open(bool quiet) {
    try {
        port_ = tools::SerialPort::open(line_.port, line_.settings, true);
        link_ = std::make_unique<cli::Line>(port_->fd(), line_.timeoutMs);
        return true;
    } catch (const tools::PortError& e) {
        if (!quiet) logEvent("line " + line_.name + ": " + e.what());
        return false;
    }
}

bool LineWorker::portGone() const { return link_->portLost() || port_->lost(); }

void LineWorker::refuseCommands(const std::string& why) {
    while (auto c = takeCommand()) {
        outbox_.push({c->replyTopic, commandErrorJson(why, c->command.id), false, false, c->correlation});
    }
}

bool LineWorker::followLostPort() {
    link_.reset();
    port_.reset();
    ++lost_;
    metrics_.lineLost(index_);
    logEvent("line " + line_.name + ": port " + line_.port + " lost");
    setState("lost");
    if (!line_.reopen) return false;
    for (;;) {
        refuseCommands("line " + line_.name + " has lost its port");
        if (!waitUntil(Clock::now() + kReopenPoll)) return false;
        if (open(true)) break;
    }
    ++reopened_;
    logEvent("line " + line_.name + ": port " + line_.port + " reopened");
    setState("reopened");
    return true;
}

void LineWorker::runPoll(Scheduled& s) {
    const DeviceConfig& device = line_.devices[s.device];
    const PollConfig& poll = device.polls[s.poll];
    const cli::Outcome o = link_->transact(poll.request);
    ++transactions_;
    metrics_.transaction(index_, device.name, poll.name, o.status, o.roundTripMs);
    nlohmann::json j = replyJson(o, config_.includeBuffer);
    j["seq"] = ++seq_;
    outbox_.push({s.topic, j.dump(), false, true, {}});
}

void LineWorker::runCommand(const PendingCommand& c) {
    const DeviceConfig& device = line_.devices[c.device];
    link_->setTimeout(c.command.timeoutMs.value_or(line_.timeoutMs));
    const cli::Outcome o = link_->transact(c.command.request);
    link_->setTimeout(line_.timeoutMs);
    ++transactions_;
    metrics_.transaction(index_, device.name, kCommandPoll, o.status, o.roundTripMs);
    nlohmann::json j = replyJson(o, config_.includeBuffer);
    j["sent"] = true;
    j["command"] = c.command.request.command;
    j["sub"] = c.command.request.subCommand;
    if (!c.command.id.is_null()) j["id"] = c.command.id;
    outbox_.push({c.replyTopic, j.dump(), false, false, c.correlation});
}

void LineWorker::run() {
    bool running = true;
    if (open(false)) {
        logEvent("line " + line_.name + ": " + line_.port + " open");
        setState("open");
    } else {
        setState("lost");
        running = line_.reopen && followLostPort();
    }
    const auto start = Clock::now();
    for (Scheduled& s : schedule_) s.due = start;
    while (running) {
        if (auto c = takeCommand()) {
            runCommand(*c);
        } else if (!schedule_.empty()) {
            auto next = std::min_element(schedule_.begin(), schedule_.end(),
                                         [](const Scheduled& a, const Scheduled& b) { return a.due < b.due; });
            if (Clock::now() < next->due) {
                running = waitUntil(next->due);
                continue;
            }
            const auto interval = std::chrono::milliseconds(line_.devices[next->device].polls[next->poll].intervalMs);
            next->due = std::max(next->due + interval, Clock::now());
            runPoll(*next);
        } else {
            running = waitUntil(Clock::now() + std::chrono::hours(1));
            continue;
        }
        if (portGone()) running = followLostPort();
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            running = running && !stop_;
        }
    }
    bool stopping = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        stopping = stop_;
    }
    refuseCommands(stopping ? "the gateway is stopping" : "line " + line_.name + " has ended");
    finished_ = true;
    wakeup_.notify();
}

}  // namespace kavrol::gateway
