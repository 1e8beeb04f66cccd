#include "gateway/metrics_server.h"

#include <stdexcept>

#include <httplib.h>

namespace kavrol::gateway {

MetricsServer::MetricsServer(const std::string& listen, std::function<std::string()> render)
    : server_(std::make_unique<httplib::Server>()) {
    const std::size_t colon = listen.rfind(':');
    const std::string host = listen.substr(0, colon);
    const int port = std::stoi(listen.substr(colon + 1));
    server_->Get("/metrics", [render = std::move(render)](const httplib::Request&, httplib::Response& res) {
        res.set_content(render(), "text/plain; version=0.0.4");
    });
    const int bound = port == 0 ? server_->bind_to_any_port(host) : (server_->bind_to_port(host, port) ? port : -1);
    if (bound < 0) throw std::runtime_error("metrics: cannot listen on " + listen);
    address_ = host + ":" + std::to_string(bound);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

MetricsServer::~MetricsServer() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

}  // namespace kavrol::gateway
