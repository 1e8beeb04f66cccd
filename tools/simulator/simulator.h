// The field-device simulator: reads command frames from a tty, answers
// them from a scenario, injects faults, and logs every frame.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/wakeup.h"
#include "simulator/device_scanner.h"
#include "simulator/fault_plan.h"
#include "simulator/scenario.h"

namespace kavrol::tools {

struct SimulatorConfig {
    Scenario scenario;                           // its faults apply to every reply, after a rule's own
    std::uint64_t seed = 1;                      // fault decisions, see fault_plan.h
    unsigned frameGapMs = 100;                   // silence after which a partial frame is given up
    std::uint32_t clientTimeoutMs = 1000;        // a reply delayed this long comes too late for the client
    std::FILE* log = nullptr;                    // frame log, one line per frame; null: none
    std::FILE* faultLog = nullptr;               // one JSON line per command and per dropped run; null: none
    const char* faultLogName = "the fault log";  // names it in the failure message
    std::uint32_t byteTimeUs = 0;                // line time of one character: each reply byte goes out when it would
                                                 // have crossed the line at that speed; 0: all at once
};

// The time one character takes on a line: start bit, data bits, parity, stop bits.
std::uint32_t characterTimeUs(unsigned baud, unsigned dataBits, char parity, unsigned stopBits);

class Simulator {
    using Clock = std::chrono::steady_clock;

public:
    explicit Simulator(SimulatorConfig config);
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Serves the descriptor until stop(). 0, or 1 after a port failure or a
    // fault-log write that failed (failure() says which).
    int serve(int fd);
    // Why serve() returned 1; empty otherwise.
    const std::string& failure() const { return failure_; }
    // Safe from any thread and from a signal handler.
    void stop();

    // Accepted commands so far; the sequence number of the last one.
    std::uint64_t commands() const { return seq_.load(); }

private:
    void onFrame(int fd, const ScanResult& frame);
    void onDropped(const Bytes& bytes, const std::string& reason);
    // Waits up to ms; true when host input or a stop came first.
    bool interruptedWait(int fd, std::uint32_t ms);
    bool send(int fd, const Bytes& bytes);
    // Waits until the descriptor takes more, a stop, or the deadline; false on the last two.
    bool waitWritable(int fd, Clock::time_point deadline);
    // Sleeps until `until` or a stop; false on a stop.
    bool pause(Clock::time_point until);
    void writeFaultLog(const std::string& line);
    void fail(const std::string& why);
    void log(const char* mark, const std::string& text);

    SimulatorConfig config_;
    Wakeup wake_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> seq_{0};
    std::string failure_;
};

}  // namespace kavrol::tools
