// A symbolic link to the simulator's pseudo-terminal, so that a client
// finds a restarted simulator under the same path.
#pragma once

#include <string>

namespace kavrol::tools {

class StableLink {
public:
    // Points linkPath at target, replacing a symbolic link already there
    // (one a stopped simulator left behind) in one step. Throws
    // std::runtime_error when linkPath is anything but a symbolic link.
    StableLink(const std::string& linkPath, const std::string& target);
    // Removes the link unless another simulator has taken it over since.
    ~StableLink();
    StableLink(const StableLink&) = delete;
    StableLink& operator=(const StableLink&) = delete;

private:
    std::string path_;
    std::string target_;
};

}  // namespace kavrol::tools
