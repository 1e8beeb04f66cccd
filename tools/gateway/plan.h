// What a configuration will do, as --check-config prints it.
#pragma once

#include <ostream>

#include "gateway/config.h"

namespace kavrol::gateway {

void printPlan(std::ostream& os, const GatewayConfig& c);

}  // namespace kavrol::gateway
