// The gateway's counters, and their Prometheus text form: transactions by
// line, device, poll and status; a round-trip histogram per line; queue
// depth and dropped messages per line; the broker connection.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "gateway/config.h"

namespace kavrol::gateway {

struct QueueStats {
    std::size_t depth = 0;
    std::uint64_t dropped = 0;
};

class Metrics {
public:
    explicit Metrics(const GatewayConfig& config);

    // From the line's own thread.
    void transaction(std::size_t line, const std::string& device, const std::string& poll, std::int32_t status,
                     double roundTripMs);
    void lineLost(std::size_t line);

    // queues: one per line, in the order of the configuration.
    std::string render(const std::vector<QueueStats>& queues, bool brokerConnected) const;

    static constexpr std::array<double, 12> kBucketsMs = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000};

private:
    struct LineMetrics {
        std::string name;
        mutable std::mutex mutex;
        std::map<std::tuple<std::string, std::string, std::string>, std::uint64_t> transactions;
        std::array<std::uint64_t, kBucketsMs.size()> buckets{};
        std::uint64_t count = 0;
        double sumMs = 0;
        std::uint64_t lost = 0;
    };
    std::vector<LineMetrics> lines_;
};

}  // namespace kavrol::gateway
