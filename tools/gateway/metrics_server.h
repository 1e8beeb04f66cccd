// http://<listen>/metrics over cpp-httplib, on a thread of its own.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace kavrol::gateway {

class MetricsServer {
public:
    // Binds listen ("host:port"; port 0: any free port). Throws
    // std::runtime_error when it cannot listen there.
    MetricsServer(const std::string& listen, std::function<std::string()> render);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // "host:port" as bound.
    const std::string& address() const { return address_; }

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::string address_;
};

}  // namespace kavrol::gateway
