// The gateway's configuration: what it reads from its TOML file, checked in
// full before anything is opened.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/transaction.h"
#include "common/serial_port.h"

namespace kavrol::gateway {

struct TlsFiles {
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    bool enabled() const { return !caFile.empty(); }
};

struct BrokerConfig {
    std::string host = "localhost";
    unsigned port = 1883;
    std::string clientId;  // default: "kavrol-gateway-<id>"
    unsigned keepAliveS = 30;
    int qos = 1;
    std::string username;
    std::string password;
    TlsFiles tls;
};

struct PollConfig {
    std::string name;
    tools::HostCommand request;  // the device's model and route filled in
    unsigned intervalMs = 1000;
};

struct DeviceConfig {
    std::string name;
    std::uint32_t model = 0;
    tools::Bytes route;  // empty: direct frames
    bool multiplexed = false;
    std::vector<PollConfig> polls;
};

struct LineConfig {
    std::string name;
    std::string port;
    tools::LineSettings settings;
    std::uint32_t timeoutMs = 1000;
    bool reopen = true;
    std::size_t queueLimit = 0;  // unsent messages held while the broker is away
    std::vector<DeviceConfig> devices;
};

struct GatewayConfig {
    std::string path;  // the file it came from
    std::string id;
    std::string prefix = "kavrol";
    std::string metricsListen;   // "host:port"; empty: no metrics server
    bool includeBuffer = false;  // the normalized buffer as hex in each reply
    BrokerConfig broker;
    std::vector<LineConfig> lines;
};

inline constexpr std::size_t kDefaultQueueLimit = 10000;

// A file that cannot be used: "FILE:LINE: key: message".
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads and checks the whole file. Throws ConfigError.
GatewayConfig loadConfig(const std::string& path);

}  // namespace kavrol::gateway
