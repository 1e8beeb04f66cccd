// Writes the table of normalized reply layouts (or, with
// --record-fields-json, the record field table as JSON) to the file given,
// or to standard output.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string_view>

#include "layout_table.h"
#include "record_fields_json.h"

int main(int argc, char** argv) {
    int next = 1;
    const bool json = argc > next && std::string_view(argv[next]) == "--record-fields-json";
    if (json) ++next;
    const std::string page = json ? kavrol::tools::recordFieldsJson() : kavrol::tools::layoutTableMarkdown();
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
