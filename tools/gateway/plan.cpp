#include "gateway/plan.h"

#include "common/host_command.h"
#include "gateway/topics.h"

namespace kavrol::gateway {

void printPlan(std::ostream& os, const GatewayConfig& c) {
    os << "gateway   " << c.id << " (" << c.path << ")\n";
    os << "broker    " << (c.broker.tls.enabled() ? "mqtts://" : "mqtt://") << c.broker.host << ":" << c.broker.port
       << ", client id " << c.broker.clientId << ", keep-alive " << c.broker.keepAliveS << " s, QoS " << c.broker.qos
       << (c.broker.username.empty() ? "" : ", user " + c.broker.username) << "\n";
    os << "status    " << statusTopic(c) << " (retained: online, Last Will offline)\n";
    os << "commands  " << commandFilter(c) << "\n";
    os << "metrics   " << (c.metricsListen.empty() ? "off" : "http://" + c.metricsListen + "/metrics") << "\n";
    for (const LineConfig& l : c.lines) {
        os << "line      " << l.name << ": " << l.port << " " << tools::describeLine(l.settings) << ", time-out "
           << l.timeoutMs << " ms, " << (l.reopen ? "reopened when lost" : "ends when lost") << ", at most "
           << l.queueLimit << " unsent messages; state " << stateTopic(c, l) << "\n";
        for (const DeviceConfig& d : l.devices) {
            os << "  device  " << d.name << ": model " << d.model;
            if (d.multiplexed) {
                os << ", route";
                for (std::size_t i = 0; i < d.route.size(); ++i) os << (i == 0 ? " " : ",") << unsigned(d.route[i]);
                if (d.route.empty()) os << " (none)";
            }
            os << "; commands on " << commandTopic(c, l, d) << "\n";
            for (const PollConfig& p : d.polls) {
                os << "    poll  " << p.name << " every " << p.intervalMs
                   << " ms: " << tools::describeCommand(p.request) << " -> " << pollTopic(c, l, d, p) << "\n";
            }
        }
    }
}

}  // namespace kavrol::gateway
