// Writes the table of normalized reply layouts (or, with
// --record-fields-json, the record field table as JSON; with
// --protocol-json or --protocol-lua, the protocol facts for Python and the
// dissector) to the file given, or to standard output.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string_view>

#include "kavrol_version.h"
#include "layout_table.h"
#include "protocol_constants.h"
#include "record_fields_json.h"

namespace {

constexpr const char* kUsage =
    "usage: layout-table [--record-fields-json | --protocol-json | --protocol-lua] [FILE]\n"
    "Writes the table of normalized reply layouts (Markdown), or with an option the record field table\n"
    "(JSON) or the protocol facts for Python (JSON) or the dissector (Lua), to FILE or standard output.\n"
    "  -h, --help     print this help and exit\n"
    "  -V, --version  print the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
    int next = 1;
    const std::string_view option = argc > next ? argv[next] : "";
    if (option == "-h" || option == "--help") {
        std::cout << kUsage;
        return std::cout.flush() ? 0 : 1;
    }
    if (option == "-V" || option == "--version") {
        std::cout << "layout-table " << kavrol::util::kVersionText << "\n";
        return std::cout.flush() ? 0 : 1;
    }
    std::string page;
    if (option == "--record-fields-json") {
        page = kavrol::tools::recordFieldsJson();
    } else if (option == "--protocol-json") {
        page = kavrol::tools::protocolJson();
    } else if (option == "--protocol-lua") {
        page = kavrol::tools::protocolLua();
    }
    if (page.empty()) {
        page = kavrol::tools::layoutTableMarkdown();
    } else {
        ++next;
    }
    // Anything else that looks like an option is a mistake, not a file name.
    if (argc > next && argv[next][0] == '-' && argv[next][1] != '\0') {
        std::cerr << "layout-table: unknown option " << argv[next] << " (see layout-table --help)\n";
        return 2;
    }
    if (argc > next + 1) {
        std::cerr << "layout-table: one file at most, got " << argv[next + 1] << " too (see layout-table --help)\n";
        return 2;
    }
    if (argc <= next) {
        std::cout << page;
        std::cout.flush();
        if (std::cout) return 0;
        std::cerr << "layout-table: cannot write standard output: " << std::strerror(errno) << "\n";
        return 1;
    }
    errno = 0;
    std::ofstream file(argv[next], std::ios::binary | std::ios::trunc);
    file << page;
    file.flush();
    if (!file) {
        std::cerr << "layout-table: cannot write " << argv[next] << ": "
                  << (errno != 0 ? std::strerror(errno) : "write failed") << "\n";
        return 1;
    }
    return 0;
}
