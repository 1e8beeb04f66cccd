// The gateway as a whole: one LineWorker per line, the broker connection
// and the metrics server; runs until it is told to stop, then shuts down
// within the stop budget.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "common/wakeup.h"
#include "gateway/config.h"
#include "gateway/line_worker.h"
#include "gateway/metrics.h"
#include "gateway/metrics_server.h"
#include "gateway/mqtt_client.h"
#include "gateway/outbox.h"

namespace kavrol::gateway {

using tools::Wakeup;

class Gateway {
public:
    explicit Gateway(const GatewayConfig& config);
    ~Gateway();

    // Starts the metrics server, the broker connection and the lines, and
    // runs until `stop` is set (wake() tells it); then lets each line finish
    // its transaction, publishes "offline" and flushes until the deadline.
    // The exit status.
    int run(const std::atomic<bool>& stop, const std::atomic<long long>& stopDeadlineMs);

    // Async-signal-safe.
    const Wakeup& wakeup() const { return wakeup_; }

private:
    void handleCommand(const Incoming& in);
    void refuse(const Incoming& in, const std::string& replyTopic, const std::string& why, const nlohmann::json& id);
    void publishStates();
    void drainOutboxes();
    bool everythingSent() const;
    std::vector<QueueStats> queueStats() const;

    const GatewayConfig& config_;
    Wakeup wakeup_;
    Metrics metrics_;
    std::vector<std::unique_ptr<Outbox>> outboxes_;
    std::vector<std::unique_ptr<LineWorker>> workers_;
    std::vector<std::uint64_t> droppedPublished_;
    std::chrono::steady_clock::time_point lastDropCheck_{};
    MqttClient client_;
    std::unique_ptr<MetricsServer> metricsServer_;
};

// Monotonic milliseconds, the clock of the stop deadline.
long long monotonicMs();

}  // namespace kavrol::gateway
