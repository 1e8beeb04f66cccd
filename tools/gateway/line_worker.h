// One serial line of the gateway on a thread of its own: polls its devices
// on their intervals through a link of the library, runs the commands that
// come for them between two polls, and follows a lost port as
// kavrol query --reopen does. Everything it publishes goes into its outbox.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/transaction.h"
#include "common/serial_port.h"
#include "gateway/command.h"
#include "gateway/config.h"
#include "gateway/metrics.h"
#include "gateway/outbox.h"
#include "gateway/payload.h"

namespace kavrol::gateway {

struct PendingCommand {
    std::size_t device = 0;
    ParsedCommand command;
    std::string replyTopic;
    std::string correlation;
};

class LineWorker {
public:
    LineWorker(const GatewayConfig& config, std::size_t index, Outbox& outbox, Metrics& metrics, const Wakeup& wakeup);
    ~LineWorker();
    LineWorker(const LineWorker&) = delete;
    LineWorker& operator=(const LineWorker&) = delete;

    void start();
    // The line ends after the transaction it is running.
    void requestStop();
    bool finished() const { return finished_.load(); }
    void join();

    // A checked command for one of the line's devices; it runs before the
    // next poll. False, taking nothing, once the line has ended.
    bool submit(PendingCommand& c);

    // The oldest state change ("open", "lost", "reopened") not yet published.
    std::optional<std::string> takeStateChange();
    // Queues the current state again, e.g. for a new broker connection.
    void restateCurrent();
    LineCounts counts() const;

    const LineConfig& config() const { return line_; }
    Outbox& outbox() { return outbox_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Scheduled {
        std::size_t device;
        std::size_t poll;
        std::string topic;
        Clock::time_point due;
    };

    void run();
    bool open(bool quiet);
    bool followLostPort();
    void setState(const std::string& state);
    // Sleeps until `until`, a command or the stop; false once stopping.
    bool waitUntil(Clock::time_point until);
    std::optional<PendingCommand> takeCommand();
    void runPoll(Scheduled& s);
    void runCommand(const PendingCommand& c);
    void refuseCommands(const std::string& why);
    bool portGone() const;

    const GatewayConfig& config_;
    const LineConfig& line_;
    const std::size_t index_;
    Outbox& outbox_;
    Metrics& metrics_;
    const Wakeup& wakeup_;
    std::vector<Scheduled> schedule_;

    std::unique_ptr<tools::SerialPort> port_;
    std::unique_ptr<cli::Line> link_;
    std::uint64_t seq_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool ended_ = false;  // takes no more commands
    std::deque<PendingCommand> commands_;
    std::deque<std::string> stateChanges_;
    std::string state_;

    std::atomic<std::uint64_t> transactions_{0};
    std::atomic<std::uint64_t> lost_{0};
    std::atomic<std::uint64_t> reopened_{0};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace kavrol::gateway
