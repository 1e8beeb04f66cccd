// The gateway's connection to the broker over libmosquitto, driven from one
// thread: MQTT v5, or 3.1.1 when the broker refuses v5; retained status
// "online" on every connection with a Last Will of "offline"; reconnects
// that back off from 0.5 s to 30 s.
//
// Every message handed over stays with the client until the broker has
// acknowledged it. Each connection has a handle of its own, so the library
// keeps nothing from one connection to the next: after a reconnect the
// client sends what the last connection left unacknowledged again, in its
// order, before anything new. The broker may see a message twice (QoS 1).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "common/wakeup.h"
#include "gateway/config.h"

struct mosquitto;
struct mqtt5__property;
struct mosquitto_message;

namespace kavrol::gateway {

using tools::Wakeup;

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
    bool canPublish() const { return connected() && unacked_.size() < kMaxInFlight; }
    std::size_t inFlight() const { return unacked_.size(); }

    // Takes a message for the broker: true when the client now holds it until
    // the broker acknowledges it (or, if the library rejects the message
    // itself, has logged and dropped it); false when it is not connected and
    // the caller keeps the message.
    bool publish(const std::string& topic, const std::string& payload, bool retain,
                 const std::string& correlation = "");

    // Publishes the retained "offline" and disconnects cleanly (no Last Will).
    void goOffline();
    // Ends the connection cleanly: the broker does not send the Last Will.
    void disconnect();

    static constexpr std::size_t kMaxInFlight = 512;

private:
    struct Outgoing {
        std::string topic;
        std::string payload;
        bool retain = false;
        std::string correlation;
        int mid = 0;  // the library's id on the current connection; 0: not sent on it
    };

    static void onConnect(mosquitto* m, void* self, int rc, int flags, const mqtt5__property* props);
    static void onDisconnect(mosquitto* m, void* self, int rc, const mqtt5__property* props);
    static void onPublish(mosquitto* m, void* self, int mid, int rc, const mqtt5__property* props);
    static void onMessageV5(mosquitto* m, void* self, const mosquitto_message* msg, const mqtt5__property* props);

    void newHandle();
    void dropHandle();
    void hand(Outgoing m);
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
    std::deque<Outgoing> unacked_;  // in the order handed over
    std::chrono::milliseconds backoff_{500};
    Clock::time_point nextTry_{};
    Clock::time_point connectDeadline_{};
};

}  // namespace kavrol::gateway
