// The one-page table of the normalized reply layouts (docs/layouts.md),
// generated from the layout tables.
#pragma once

#include <string>

namespace kavrol::tools {

// The markdown page: per model group, reply code and form, the buffer
// positions written and the record fields filled from them.
std::string layoutTableMarkdown();

}  // namespace kavrol::tools
