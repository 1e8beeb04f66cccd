// kavrol demo: a tour of transactions against the built-in simulator.
#pragma once

namespace kavrol::cli {

struct DemoOptions {
    bool showSimulator = false;  // the simulator's frame log on standard error
};

// Runs the tour; 0 when every step gave the expected result.
int runDemo(const DemoOptions& o);

}  // namespace kavrol::cli
