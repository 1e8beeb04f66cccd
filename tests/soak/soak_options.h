// Command-line options of the soak executable (parsed before GoogleTest's).
//   --long            the full size: 100,000 transactions
//   --transactions=N  any other size
//   --seed=S          seed of the simulator's fault decisions
//   --devsim=PATH     the kavrol-devsim executable
#pragma once

#include <cstdint>
#include <string>

namespace kavrol::soak {

struct SoakOptions {
    std::uint64_t transactions = 4000;  // bounded for CI
    std::uint64_t seed = 20;
    std::string devsim;
};

inline constexpr std::uint64_t kLongTransactions = 100000;

SoakOptions& options();

// Takes the soak's own options out of argv; false on a malformed one.
bool parseOptions(int& argc, char** argv);

}  // namespace kavrol::soak
