#include "gateway/gateway.h"

#include <cstdlib>
#include <ctime>

#include "gateway/log.h"
#include "gateway/topics.h"

namespace kavrol::gateway {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStepMs = 100;
// Of the stop budget: the lines get this long to finish their transaction;
// what is left goes to flushing.
constexpr long long kLinesShareMs = 1200;
constexpr std::chrono::seconds kDropCheckEvery{1};

}  // namespace

long long monotonicMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Gateway::Gateway(const GatewayConfig& config)
    : config_(config), metrics_(config), droppedPublished_(config.lines.size(), 0), client_(config, wakeup_) {
    for (std::size_t i = 0; i < config.lines.size(); ++i) {
        outboxes_.push_back(std::make_unique<Outbox>(config.lines[i].queueLimit, wakeup_));
        workers_.push_back(std::make_unique<LineWorker>(config, i, *outboxes_[i], metrics_, wakeup_));
    }
    client_.onConnected = [this] {
        for (auto& w : workers_) w->restateCurrent();
    };
    client_.onMessage = [this](const Incoming& in) { handleCommand(in); };
}

Gateway::~Gateway() = default;

std::vector<QueueStats> Gateway::queueStats() const {
    std::vector<QueueStats> stats;
    for (const auto& o : outboxes_) stats.push_back({o->depth(), o->dropped()});
    return stats;
}

void Gateway::refuse(const Incoming& in, const std::string& replyTopic, const std::string& why,
                     const nlohmann::json& id) {
    logEvent("command on " + in.topic + " refused: " + why);
    client_.publish(replyTopic, commandErrorJson(why, id), false, in.correlation);
}

void Gateway::handleCommand(const Incoming& in) {
    const std::string replyTopic = in.responseTopic.empty() ? replyTopicFor(in.topic) : in.responseTopic;
    if (in.retained) {
        logEvent("retained command on " + in.topic + " ignored");
        return;
    }
    for (auto& w : workers_) {
        const LineConfig& line = w->config();
        for (std::size_t d = 0; d < line.devices.size(); ++d) {
            if (commandTopic(config_, line, line.devices[d]) != in.topic) continue;
            ParsedCommand parsed = parseCommand(in.payload, line.devices[d]);
            if (!parsed.error.empty()) {
                refuse(in, replyTopic, parsed.error, parsed.id);
                return;
            }
            PendingCommand c{d, std::move(parsed), replyTopic, in.correlation};
            if (!w->submit(c)) refuse(in, replyTopic, "line " + line.name + " has ended", c.command.id);
            return;
        }
    }
    refuse(in, replyTopic, "no such line and device on gateway " + config_.id, nullptr);
}

void Gateway::publishStates() {
    if (!client_.connected()) return;
    const auto now = Clock::now();
    const bool checkDrops = now - lastDropCheck_ >= kDropCheckEvery;
    if (checkDrops) lastDropCheck_ = now;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        LineWorker& w = *workers_[i];
        if (checkDrops && outboxes_[i]->dropped() != droppedPublished_[i]) {
            droppedPublished_[i] = outboxes_[i]->dropped();
            logEvent("line " + w.config().name + ": " + std::to_string(droppedPublished_[i]) +
                     " messages dropped so far (queue full)");
            w.restateCurrent();
        }
        while (auto state = w.takeStateChange()) {
            client_.publish(stateTopic(config_, w.config()), stateJson(*state, w.counts()), true);
        }
    }
}

void Gateway::drainOutboxes() {
    bool any = true;
    while (any && client_.canPublish()) {
        any = false;
        for (auto& o : outboxes_) {
            if (!client_.canPublish()) return;
            auto m = o->pop();
            if (!m) continue;
            if (!client_.publish(m->topic, m->payload, m->retain, m->correlation)) {
                o->unpop(std::move(*m));
                return;
            }
            any = true;
        }
    }
}

bool Gateway::everythingSent() const {
    for (const auto& o : outboxes_) {
        if (o->depth() != 0) return false;
    }
    return client_.inFlight() == 0;
}

int Gateway::run(const std::atomic<bool>& stop, const std::atomic<long long>& stopDeadlineMs) {
    if (!config_.metricsListen.empty()) {
        metricsServer_ = std::make_unique<MetricsServer>(
            config_.metricsListen, [this] { return metrics_.render(queueStats(), client_.connected()); });
        logEvent("metrics on http://" + metricsServer_->address() + "/metrics");
    }
    for (auto& w : workers_) w->start();
    while (!stop) {
        client_.step(kStepMs);
        publishStates();
        drainOutboxes();
    }
    logEvent("stopping");
    const long long deadline = stopDeadlineMs.load();
    for (auto& w : workers_) w->requestStop();
    auto linesDone = [this] {
        for (const auto& w : workers_) {
            if (!w->finished()) return false;
        }
        return true;
    };
    while (!linesDone() && monotonicMs() < deadline - (2000 - kLinesShareMs)) {
        client_.step(10);
        publishStates();
        drainOutboxes();
    }
    // The final counts, retained with each line's state.
    for (auto& w : workers_) w->restateCurrent();
    publishStates();
    client_.goOffline();
    while (!everythingSent() && client_.connected() && monotonicMs() < deadline) {
        client_.step(10);
        publishStates();
        drainOutboxes();
    }
    if (!everythingSent()) logEvent("stopped with messages the broker did not take");
    client_.disconnect();
    metricsServer_.reset();
    if (!linesDone()) {
        logEvent("a line is still in its transaction at the stop deadline; exiting without it");
        std::_Exit(0);
    }
    for (auto& w : workers_) w->join();
    logEvent("stopped");
    return 0;
}

}  // namespace kavrol::gateway
