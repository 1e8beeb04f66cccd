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

    // "16 sent: ok 12, timeout 3, device-error 1; round trip min 2.1 / mean 40.3 / max 1001.0 ms"
    std::string text() const;
    // {"sent", "ok", "timeout", "frame_error", "device_error", "by_status", "rtt_ms"}
    nlohmann::json json() const;

private:
    unsigned sent_ = 0;
    std::map<std::int32_t, unsigned> byStatus_;
    double minMs_ = std::numeric_limits<double>::infinity();
    double maxMs_ = 0;
    double sumMs_ = 0;
};

}  // namespace kavrol::cli
