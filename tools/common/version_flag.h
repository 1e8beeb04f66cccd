// --version and -V, the same in every tool: "kavrol 20.0.0".
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "kavrol_version.h"

namespace kavrol::tools {

inline void addVersionFlag(CLI::App& app, const std::string& program) {
    app.set_version_flag("-V,--version", program + " " + util::kVersionText, "print the version and exit");
}

}  // namespace kavrol::tools
