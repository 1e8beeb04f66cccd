#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "soak_options.h"

namespace kavrol::soak {

SoakOptions& options() {
    static SoakOptions options;
    return options;
}

bool parseOptions(int& argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        auto value = [&](std::string_view name) -> const char* {
            return a.substr(0, name.size()) == name ? argv[i] + name.size() : nullptr;
        };
        if (a == "--long") {
            options().transactions = kLongTransactions;
        } else if (const char* v = value("--transactions=")) {
            options().transactions = std::strtoull(v, nullptr, 10);
            if (options().transactions == 0) return false;
        } else if (const char* seed = value("--seed=")) {
            options().seed = std::strtoull(seed, nullptr, 10);
        } else if (const char* devsim = value("--devsim=")) {
            options().devsim = devsim;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return true;
}

}  // namespace kavrol::soak

int main(int argc, char** argv) {
    if (!kavrol::soak::parseOptions(argc, argv)) {
        std::fprintf(stderr, "usage: %s [--long | --transactions=N] [--seed=S] [--devsim=PATH] [gtest options]\n",
                     argv[0]);
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
