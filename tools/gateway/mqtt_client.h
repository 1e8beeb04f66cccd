// The gateway's connection to the broker over libmosquitto, driven from one
// thread: MQTT v5, or 3.1.1 when the broker refuses v5; retained status
// "online" on every connection with a Last Will of "offline"; reconnects
// that back off from 0.5 s to 30 s.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "gateway/config.h"
#include "gateway/wakeup.h"

struct mosquitto;
struct mqtt5__property;
struct mosquitto_message;

namespace kavrol::gateway {

struct Incoming {
    std::string topic;
    std::string payload;
    std::string responseTopic;  // MQTT v5 only; empty when none was given
    std::string correlation;    // MQTT v5 only
    bool retained = false;
};

class MqttClient {
public:
    using Clock = std::chrono::steady_clock;

    MqttClient(const GatewayConfig& config, const Wakeup& wakeup);
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // Called on the client's thread: after each accepted connection, and
    // for each message on the command filter.
    std::function<void()> onConnected;
    std::function<void(const Incoming&)> onMessage;

    // One round: connects when a try is due, waits up to waitMs for the
    // broker or the wake-up, then reads, writes and keeps the connection alive.
    void step(int waitMs);

    bool connected() const { return connected_.load(); }
    bool v5() const { return v5_; }
    // Room for another message in flight (handed over, not yet acknowledged).
    bool canPublish() const { return connected() && inFlight_ < kMaxInFlight; }
    std::size_t inFlight() const { return inFlight_; }

    // Hands a message to the connection; false when it is not connected or
    // the library refused the message.
    bool publish(const std::string& topic, const std::string& payload, bool retain,
                 const std::string& correlation = "");

    // Publishes the retained "offline" and disconnects cleanly (no Last Will).
    void goOffline();
    // Ends the connection cleanly: the broker does not send the Last Will.
    void disconnect();

    static constexpr std::size_t kMaxInFlight = 512;

private:
    static void onConnect(mosquitto* m, void* self, int rc, int flags, const mqtt5__property* props);
    static void onDisconnect(mosquitto* m, void* self, int rc, const mqtt5__property* props);
    static void onPublish(mosquitto* m, void* self, int mid, int rc, const mqtt5__property* props);
    static void onMessageV5(mosquitto* m, void* self, const mosquitto_message* msg, const mqtt5__property* props);

    void tryConnect();
    void connectionLost(const std::string& why);
    void retryLater();

    const GatewayConfig& config_;
    const Wakeup& wakeup_;
    mosquitto* mosq_ = nullptr;
    bool v5_ = true;
    bool socketOpen_ = false;  // a connection is up or being made
    bool fellBack_ = false;    // the broker refused v5 on the last try
    std::atomic<bool> connected_{false};
    std::size_t inFlight_ = 0;
    std::chrono::milliseconds backoff_{500};
    Clock::time_point nextTry_{};
    Clock::time_point connectDeadline_{};
};

}  // namespace kavrol::gateway
