#include "host/host.h"

namespace kavrol::host {

namespace {
Host* g_installed = nullptr;
}

Host& current() { return g_installed != nullptr ? *g_installed : platform(); }

void install(Host* host) { g_installed = host; }

}  // namespace kavrol::host
