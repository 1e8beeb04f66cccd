// Figures of a polling run: round-trip times and counts per status.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace kavrol::cli {

class PollStats {
public:
    void add(std::int32_t status, double roundTripMs);
    void merge(const PollStats& other);

    unsigned sent() const { return sent_; }
    unsigned ok() const;
    bool allOk() const { return ok() == sent_; }

    // The round trip below which a share q (0..1) of the transactions
    // ended, within 1 % (kept in buckets of logarithmic width, so that a
    // run of any length takes the same memory). 0 when none was sent.
    double percentileMs(double q) const;

    // "16 sent: ok 12 (75.0 %, status 1), timeout 4 (25.0 %, status -2); round trip
    //  min 2.1 / p50 2.5 / p95 1001.0 / p99 1001.0 / mean 252.0 / max 1001.0 ms"
    std::string text() const;
    // {"sent", "ok", "timeout", "frame_error", "device_error", "by_status",
    //  "percent_by_status", "rtt_ms": {"min", "p50", "p95", "p99", "mean", "max"}}
    nlohmann::json json() const;

private:
    unsigned sent_ = 0;
    std::map<std::int32_t, unsigned> byStatus_;
    std::map<int, unsigned> rttBuckets_;  // bucket index -> transactions
    double minMs_ = std::numeric_limits<double>::infinity();
    double maxMs_ = 0;
    double sumMs_ = 0;
};

}  // namespace kavrol::cli
