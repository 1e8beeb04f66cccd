// --version and -V, the same in every tool: "kavrol 20.0.0"; and how a
// tool answers --help and --version.
#pragma once

#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "common/exit_codes.h"
#include "kavrol_version.h"

namespace kavrol::tools {

inline void addVersionFlag(CLI::App& app, const std::string& program) {
    app.set_version_flag("-V,--version", program + " " + util::kVersionText, "print the version and exit");
}

// For a parse that ended in --help (the help of the subcommand given) or
// --version: prints it on standard output and returns the exit status.
inline int answerHelpOrVersion(const CLI::App& app, const CLI::Success& e) {
    if (dynamic_cast<const CLI::CallForHelp*>(&e) == nullptr) return app.exit(e);
    std::cout << app.help();
    return kExitOk;
}

}  // namespace kavrol::tools
