// Writes the table of normalized reply layouts to the file given, or to
// standard output.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "layout_table.h"

int main(int argc, char** argv) {
    const std::string page = kavrol::tools::LayoutTableMarkdown();
    if (argc < 2) {
        std::cout << page;
        return 0;
    }
    std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
    file << page;
    if (!file) {
        std::cerr << "layout-table: cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
