#include "gateway/mqtt_client.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>

#include "gateway/log.h"
#include "gateway/topics.h"

namespace kavrol::gateway {

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kLastBackoff{30000};
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

int length(const std::string& s) { return static_cast<int>(s.size()); }

}  // namespace

MqttClient::MqttClient(const GatewayConfig& config, const Wakeup& wakeup) : config_(config), wakeup_(wakeup) {
    newHandle();
}

MqttClient::~MqttClient() { dropHandle(); }

void MqttClient::newHandle() {
    dropHandle();
    const BrokerConfig& b = config_.broker;
    mosq_ = mosquitto_new(b.clientId.c_str(), true, this);
    if (mosq_ == nullptr) throw std::runtime_error("mosquitto_new failed");
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, v5_ ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_will_set_v5(mosq_, statusTopic(config_).c_str(), length(kOffline), kOffline, b.qos, true, nullptr);
    if (!b.username.empty()) {
        mosquitto_username_pw_set(mosq_, b.username.c_str(), b.password.empty() ? nullptr : b.password.c_str());
    }
    if (b.tls.enabled()) {
        const int rc = mosquitto_tls_set(mosq_, b.tls.caFile.c_str(), nullptr,
                                         b.tls.certFile.empty() ? nullptr : b.tls.certFile.c_str(),
                                         b.tls.keyFile.empty() ? nullptr : b.tls.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(std::string("TLS files: ") + mosquitto_strerror(rc));
    }
    mosquitto_connect_v5_callback_set(mosq_, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(mosq_, &MqttClient::onDisconnect);
    mosquitto_publish_v5_callback_set(mosq_, &MqttClient::onPublish);
    mosquitto_message_v5_callback_set(mosq_, &MqttClient::onMessageV5);
    // Ids of the last connection mean nothing to this one.
    for (Outgoing& m : unacked_) m.mid = 0;
}

// Closes the socket, if open, and forgets everything the library held;
// never from inside one of its callbacks.
void MqttClient::dropHandle() {
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
    mosq_ = nullptr;
}

void MqttClient::retryLater() {
    nextTry_ = Clock::now() + backoff_;
    backoff_ = std::min(backoff_ * 2, kLastBackoff);
}

void MqttClient::tryConnect() {
    const BrokerConfig& b = config_.broker;
    newHandle();
    const int rc = mosquitto_connect(mosq_, b.host.c_str(), static_cast<int>(b.port), static_cast<int>(b.keepAliveS));
    if (rc != MOSQ_ERR_SUCCESS) {
        logEvent("broker " + b.host + ":" + std::to_string(b.port) + " unreachable: " +
                 (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc)) +
                 "; next try in " + std::to_string(backoff_.count()) + " ms");
        retryLater();
        return;
    }
    socketOpen_ = true;
    // A broker that takes the socket but never answers is given up like a lost connection.
    connectDeadline_ = Clock::now() + std::chrono::seconds(b.keepAliveS);
}

void MqttClient::connectionLost(const std::string& why) {
    const bool was = connected_.exchange(false);
    // No DISCONNECT: the connection is broken, and the broker is to send the Last Will.
    dropHandle();
    socketOpen_ = false;
    if (fellBack_) {
        fellBack_ = false;
        nextTry_ = Clock::now();  // at once, in 3.1.1
        return;
    }
    if (was) logEvent("broker connection lost: " + why);
    retryLater();
}

void MqttClient::step(int waitMs) {
    const auto now = Clock::now();
    if (!socketOpen_ && now >= nextTry_) tryConnect();
    if (socketOpen_ && !connected_ && now >= connectDeadline_ && connectDeadline_ != Clock::time_point{}) {
        connectionLost("no CONNACK");
    }
    pollfd fds[2] = {{wakeup_.fd(), POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 1;
    if (socketOpen_) {
        fds[1].fd = mosquitto_socket(mosq_);
        fds[1].events = static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0));
        count = 2;
    }
    if (!socketOpen_) {
        const auto untilTry = std::chrono::duration_cast<std::chrono::milliseconds>(nextTry_ - Clock::now()).count();
        waitMs = static_cast<int>(std::clamp<long long>(untilTry, 0, waitMs));
    }
    ::poll(fds, count, waitMs);
    if ((fds[0].revents & POLLIN) != 0) wakeup_.drain();
    if (!socketOpen_) return;
    int rc = MOSQ_ERR_SUCCESS;
    if ((fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0) rc = mosquitto_loop_read(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && socketOpen_ && mosquitto_want_write(mosq_)) rc = mosquitto_loop_write(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && socketOpen_) rc = mosquitto_loop_misc(mosq_);
    if (rc != MOSQ_ERR_SUCCESS && socketOpen_) connectionLost(mosquitto_strerror(rc));
}

bool MqttClient::publish(const std::string& topic, const std::string& payload, bool retain,
                         const std::string& correlation) {
    if (!connected_) return false;
    hand({topic, payload, retain, correlation, 0});
    return true;
}

namespace {

// The library's refusals of a message itself: sending it again cannot help.
bool refusesMessage(int rc) {
    switch (rc) {
        case MOSQ_ERR_INVAL:
        case MOSQ_ERR_PROTOCOL:
        case MOSQ_ERR_PAYLOAD_SIZE:
        case MOSQ_ERR_NOT_SUPPORTED:
        case MOSQ_ERR_MALFORMED_UTF8:
        case MOSQ_ERR_DUPLICATE_PROPERTY:
        case MOSQ_ERR_QOS_NOT_SUPPORTED:
        case MOSQ_ERR_OVERSIZE_PACKET: return true;
        default: return false;
    }
}

}  // namespace

// Sends a message on the current connection and keeps it until its
// acknowledgement. When the connection fails under it, the message stays
// and goes out again on the next connection (the library may have queued
// it before its write failed, but that handle does not outlive the connection).
void MqttClient::hand(Outgoing m) {
    mosquitto_property* props = nullptr;
    if (v5_ && !m.correlation.empty()) {
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, m.correlation.data(),
                                      static_cast<std::uint16_t>(std::min<std::size_t>(m.correlation.size(), 65535)));
    }
    int mid = 0;
    const int rc = mosquitto_publish_v5(mosq_, &mid, m.topic.c_str(), length(m.payload), m.payload.data(),
                                        config_.broker.qos, m.retain, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS && refusesMessage(rc)) {
        logEvent("message on " + m.topic + " dropped: " + mosquitto_strerror(rc));
        return;
    }
    // QoS 0 has no acknowledgement to wait for (the library may report the
    // write before this returns); it is kept only when the write failed.
    if (rc == MOSQ_ERR_SUCCESS && config_.broker.qos == 0) return;
    m.mid = rc == MOSQ_ERR_SUCCESS ? mid : 0;
    unacked_.push_back(std::move(m));
}

void MqttClient::goOffline() {
    if (!connected_) return;
    publish(statusTopic(config_), kOffline, true);
}

void MqttClient::disconnect() {
    if (socketOpen_) mosquitto_disconnect(mosq_);
    // The DISCONNECT packet goes out with this write.
    if (socketOpen_) mosquitto_loop_write(mosq_, 1);
    socketOpen_ = false;
    connected_ = false;
}

void MqttClient::onConnect(mosquitto*, void* self, int rc, int, const mqtt5__property*) {
    auto* c = static_cast<MqttClient*>(self);
    if (rc == MOSQ_ERR_SUCCESS) {
        c->connected_ = true;
        c->backoff_ = kFirstBackoff;
        std::deque<Outgoing> again;
        again.swap(c->unacked_);
        logEvent(std::string("broker connected (MQTT ") + (c->v5_ ? "5" : "3.1.1") + ")" +
                 (again.empty() ? "" : "; sending again " + std::to_string(again.size()) + " unacknowledged messages"));
        mosquitto_subscribe_v5(c->mosq_, nullptr, commandFilter(c->config_).c_str(), 1, 0, nullptr);
        // Older than anything still to come, so first; a retained topic keeps its newest value.
        for (Outgoing& m : again) c->hand(std::move(m));
        c->publish(statusTopic(c->config_), kOnline, true);
        if (c->onConnected) c->onConnected();
        return;
    }
    const bool refusedV5 =
        c->v5_ && (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == CONNACK_REFUSED_PROTOCOL_VERSION);
    if (refusedV5) {
        logEvent("broker refused MQTT 5; connecting with 3.1.1");
        c->v5_ = false;
        c->fellBack_ = true;
    } else {
        logEvent(std::string("broker refused the connection: ") + mosquitto_reason_string(rc));
    }
}

void MqttClient::onDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*) {
    auto* c = static_cast<MqttClient*>(self);
    // Called from inside the library's read or write; the socket is closed already.
    if (c->socketOpen_ && rc != MOSQ_ERR_SUCCESS) {
        c->socketOpen_ = false;
        const bool was = c->connected_.exchange(false);
        if (c->fellBack_) {
            c->fellBack_ = false;
            c->nextTry_ = Clock::now();
            return;
        }
        if (was) logEvent(std::string("broker connection lost: ") + mosquitto_strerror(rc));
        c->retryLater();
    }
}

void MqttClient::onPublish(mosquitto*, void* self, int mid, int rc, const mqtt5__property*) {
    auto* c = static_cast<MqttClient*>(self);
    const auto done =
        std::find_if(c->unacked_.begin(), c->unacked_.end(), [mid](const Outgoing& m) { return m.mid == mid; });
    if (done == c->unacked_.end()) return;
    // An answer either way: a refusal would only be refused again.
    if (rc >= 0x80) logEvent("broker refused the message on " + done->topic + ": " + mosquitto_reason_string(rc));
    c->unacked_.erase(done);
}

void MqttClient::onMessageV5(mosquitto*, void* self, const mosquitto_message* msg, const mqtt5__property* props) {
    auto* c = static_cast<MqttClient*>(self);
    if (!c->onMessage || msg == nullptr || msg->topic == nullptr) return;
    Incoming in;
    in.topic = msg->topic;
    in.retained = msg->retain;
    if (msg->payload != nullptr)
        in.payload.assign(static_cast<const char*>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
    char* response = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &response, false) != nullptr &&
        response != nullptr) {
        in.responseTopic = response;
    }
    std::free(response);
    void* data = nullptr;
    std::uint16_t size = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &size, false) != nullptr &&
        data != nullptr) {
        in.correlation.assign(static_cast<const char*>(data), size);
    }
    std::free(data);
    c->onMessage(in);
}

}  // namespace kavrol::gateway
