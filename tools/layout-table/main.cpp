// Writes the table of normalized reply layouts (or, with
// --record-fields-json, the record field table as JSON; with
// --protocol-json or --protocol-lua, the protocol facts for Python and the
// dissector) to the file given, or to standard output.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string_view>

#include "layout_table.h"
#include "protocol_constants.h"
#include "record_fields_json.h"

int main(int argc, char** argv) {
    int next = 1;
    const std::string_view option = argc > next ? argv[next] : "";
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
    if (argc <= next) {
        std::cout << page;
        return 0;
    }
    std::ofstream file(argv[next], std::ios::binary | std::ios::trunc);
    file << page;
    if (!file) {
        std::cerr << "layout-table: cannot write " << argv[next] << "\n";
        return 1;
    }
    return 0;
}
