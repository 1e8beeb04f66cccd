// The gateway's topic names: <prefix>/<gateway>/... for its status, each
// line's state, each poll's replies and each device's commands.
#pragma once

#include <string>

#include "gateway/config.h"

namespace kavrol::gateway {

inline std::string gatewayTopic(const GatewayConfig& c) { return c.prefix + "/" + c.id; }
inline std::string statusTopic(const GatewayConfig& c) { return gatewayTopic(c) + "/status"; }
inline std::string lineTopic(const GatewayConfig& c, const LineConfig& l) { return gatewayTopic(c) + "/" + l.name; }
inline std::string stateTopic(const GatewayConfig& c, const LineConfig& l) { return lineTopic(c, l) + "/state"; }
inline std::string deviceTopic(const GatewayConfig& c, const LineConfig& l, const DeviceConfig& d) {
    return lineTopic(c, l) + "/" + d.name;
}
inline std::string pollTopic(const GatewayConfig& c, const LineConfig& l, const DeviceConfig& d, const PollConfig& p) {
    return deviceTopic(c, l, d) + "/" + p.name;
}
inline std::string commandTopic(const GatewayConfig& c, const LineConfig& l, const DeviceConfig& d) {
    return deviceTopic(c, l, d) + "/cmd";
}
// What the gateway subscribes to: the commands of every device.
inline std::string commandFilter(const GatewayConfig& c) { return gatewayTopic(c) + "/+/+/cmd"; }
// Where a command's reply goes when the command names no response topic.
inline std::string replyTopicFor(const std::string& commandTopicName) { return commandTopicName + "/reply"; }

}  // namespace kavrol::gateway
