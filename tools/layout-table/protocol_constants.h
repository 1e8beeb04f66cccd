// The protocol facts for the code that cannot include the C++ headers: the
// Python package (protocol.json) and the Wireshark dissector (a Lua table).
#pragma once

#include <string>

namespace kavrol::tools {

std::string protocolJson();
std::string protocolLua();

}  // namespace kavrol::tools
