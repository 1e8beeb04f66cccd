#include "host/host.h"

namespace kavrol::host {

namespace {
Host* g_installed = nullptr;
}

Host& current() { return g_installed != nullptr ? *g_installed : platform(); }

void install(Host* host) { g_installed = host; }

bool Host::queryQueue(PortHandle port, PortWait::Kind kind, std::uint32_t& count) {
    QueueCounts counts{};
    if (!queryQueues(port, counts)) return false;
    count = kind == PortWait::Kind::Input ? counts.inQueue : counts.outQueue;
    return true;
}

PortOutcome Host::receive(PortHandle /*port*/, std::uint8_t* /*dest*/, std::uint32_t /*count*/, void* /*overlapped*/,
                          std::uint32_t /*budgetMs*/, std::uint32_t& got) {
    got = 0;
    return PortOutcome::Unserved;
}

}  // namespace kavrol::host
