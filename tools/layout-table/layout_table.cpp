#include "layout_table.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "kavrol32/kavrol32.h"
#include "protocol/record_fields.h"
#include "reply/coverage.h"
#include "reply/layout.h"
#include "reply/model_groups.h"
#include "reply/record_stage.h"

namespace kavrol::tools {

namespace {

using protocol::RecordField;
using protocol::recordFieldsOf;
using reply::GroupLayouts;
using reply::Layout;
using reply::Op;
using reply::OpKind;

constexpr unsigned kBufferSize = reply::kReplyBufferSize;
constexpr std::size_t kRecordSize = KAVROL_REPLY_RECORD_SIZE;
constexpr unsigned kLongest = reply::kMaxFrameIndex;
constexpr unsigned kShorter = 200;
constexpr std::uint32_t kModelCodes = 25;  // 0..24; every code above has no layout

using Written = std::array<bool, kBufferSize>;

// A choice a layout makes on a receive-area byte: r[src] AND mask non-zero.
struct Condition {
    std::uint8_t src;
    std::uint8_t mask;
};

void collectConditions(const Layout& layout, std::vector<Condition>& out) {
    for (const Op& op : layout.rows) {
        if (op.kind == OpKind::Include) collectConditions(*op.first, out);
        if (op.kind == OpKind::ChooseBy) {
            out.push_back({op.src, op.mask});
            collectConditions(*op.first, out);
            collectConditions(*op.second, out);
        }
    }
}

// The threshold rows that the layout runs for the receive area r.
void collectThresholds(const Layout& layout, const std::uint8_t* r, std::vector<unsigned>& outPositions) {
    for (const Op& op : layout.rows) {
        if (op.kind == OpKind::Include) collectThresholds(*op.first, r, outPositions);
        if (op.kind == OpKind::ChooseBy)
            collectThresholds((r[op.src] & op.mask) != 0 ? *op.first : *op.second, r, outPositions);
        if (op.kind == OpKind::Threshold) outPositions.push_back(op.out);
    }
}

std::string conditionText(const Condition& c, bool set) {
    std::ostringstream s;
    if (c.mask == 0xFF) {
        s << "r[" << int(c.src) << "] " << (set ? "not 0" : "= 0");
    } else if ((c.mask & (c.mask - 1)) == 0) {
        unsigned b = 0;
        while ((c.mask >> b) != 1) ++b;
        s << "bit " << b << " of r[" << int(c.src) << "] " << (set ? "set" : "clear");
    } else {
        s << "r[" << int(c.src) << "] AND " << int(c.mask) << (set ? " not 0" : " = 0");
    }
    return s.str();
}

// A receive area of length byte `last` for the reply code that takes the
// branches of `choice` (bit i set: condition i holds).
std::array<std::uint8_t, reply::kReceiveAreaSize> areaFor(std::uint8_t code, unsigned last,
                                                          const std::vector<Condition>& conds, unsigned choice) {
    std::array<std::uint8_t, reply::kReceiveAreaSize> r{};
    r[1] = static_cast<std::uint8_t>(last);
    r[2] = code;
    for (std::size_t i = 0; i < conds.size(); ++i) r[conds[i].src] = ((choice >> i) & 1U) != 0 ? conds[i].mask : 0;
    return r;
}

Written coverage(std::uint32_t model, const std::array<std::uint8_t, reply::kReceiveAreaSize>& r) {
    bool written[kBufferSize];
    reply::layoutCoverage(model, r.data(), written);
    Written w{};
    std::copy(std::begin(written), std::end(written), w.begin());
    return w;
}

struct Range {
    unsigned first, last;
};

std::vector<Range> rangesOf(const Written& w) {
    std::vector<Range> out;
    for (unsigned k = 0; k < kBufferSize; ++k) {
        if (!w[k]) continue;
        if (!out.empty() && out.back().last + 1 == k) {
            out.back().last = k;
        } else {
            out.push_back({k, k});
        }
    }
    return out;
}

std::string rangeText(unsigned first, const std::string& last, bool single) {
    return single ? std::to_string(first) : std::to_string(first) + ".." + last;
}

// The written ranges at the longest frame; an end that moves with the
// length byte L is given relative to L.
std::string writtenText(const Written& longest, const Written& shorter) {
    const std::vector<Range> a = rangesOf(longest);
    const std::vector<Range> b = rangesOf(shorter);
    if (a.empty()) return "none";
    if (a.size() != b.size()) return "depends on L";
    std::string out;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!out.empty()) out += ", ";
        if (a[i].first != b[i].first) return "depends on L";
        if (a[i].last == b[i].last) {
            out += rangeText(a[i].first, std::to_string(a[i].last), a[i].first == a[i].last);
        } else if (a[i].last - b[i].last == kLongest - kShorter) {
            out += rangeText(a[i].first, "L-" + std::to_string(kLongest - a[i].last), false);
        } else {
            return "depends on L";
        }
    }
    return out;
}

// Record bytes whose value comes from written buffer positions only: the
// record stage runs over buffers that agree on the written positions and
// differ everywhere else.
std::array<bool, kRecordSize> meaningfulRecordBytes(std::uint8_t code, const Written& w) {
    std::uint8_t zeros[kBufferSize] = {};
    std::uint8_t ones[kBufferSize];
    std::uint8_t mixed[kBufferSize];
    for (unsigned k = 0; k < kBufferSize; ++k) {
        ones[k] = 0xFF;
        mixed[k] = w[k] ? 0x00 : 0xFF;
    }
    std::uint8_t fromZeros[kRecordSize] = {};
    std::uint8_t fromOnes[kRecordSize] = {};
    std::uint8_t fromMixed[kRecordSize] = {};
    reply::fillReplyRecord(code, zeros, fromZeros);
    reply::fillReplyRecord(code, ones, fromOnes);
    reply::fillReplyRecord(code, mixed, fromMixed);
    std::array<bool, kRecordSize> out{};
    for (std::size_t k = 0; k < kRecordSize; ++k) {
        const bool inRegion = fromZeros[k] != fromOnes[k];
        out[k] = inRegion && fromMixed[k] == fromZeros[k];
    }
    return out;
}

bool endsInDigit(const std::string& s) { return !s.empty() && s.back() >= '0' && s.back() <= '9'; }

std::string stemOf(const std::string& s) {
    std::size_t n = s.size();
    while (n > 0 && s[n - 1] >= '0' && s[n - 1] <= '9') --n;
    return s.substr(0, n);
}

// Field names, element ranges and partly filled elements; consecutive whole
// fields of one numbered family are merged (code1Word0..code1Word3).
std::string recordText(std::uint8_t code, const Written& w) {
    const auto fields = recordFieldsOf(code);
    if (fields.empty()) return "(no record region)";
    const std::array<bool, kRecordSize> ok = meaningfulRecordBytes(code, w);
    std::vector<std::string> tokens;
    std::vector<bool> whole;
    for (const RecordField& f : fields) {
        std::vector<int> state(f.count);  // 0 none, 1 part, 2 whole
        for (std::size_t e = 0; e < f.count; ++e) {
            std::size_t n = 0;
            for (std::size_t b = 0; b < f.elementSize; ++b) n += ok[f.recordOffset + e * f.elementSize + b] ? 1U : 0U;
            state[e] = n == f.elementSize ? 2 : (n > 0 ? 1 : 0);
        }
        bool all = true;
        for (int s : state) all = all && s == 2;
        if (all) {
            tokens.emplace_back(f.name);
            whole.push_back(true);
            continue;
        }
        for (std::size_t e = 0; e < f.count;) {
            if (state[e] == 0) {
                ++e;
                continue;
            }
            std::size_t end = e;
            while (end + 1 < f.count && state[end + 1] == state[e] && state[e] == 2) ++end;
            std::string t = std::string(f.name) + "[" + std::to_string(e);
            if (end > e) t += ".." + std::to_string(end);
            t += state[e] == 1 ? "] in part" : "]";
            tokens.push_back(t);
            whole.push_back(false);
            e = end + 1;
        }
    }
    if (tokens.empty()) return "none";
    std::string out;
    for (std::size_t i = 0; i < tokens.size();) {
        std::size_t end = i;
        while (end + 1 < tokens.size() && whole[i] && whole[end + 1] && endsInDigit(tokens[i]) &&
               stemOf(tokens[end + 1]) == stemOf(tokens[i]))
            ++end;
        if (!out.empty()) out += ", ";
        out += end > i ? tokens[i] + ".." + tokens[end] : tokens[i];
        i = end + 1;
    }
    return out;
}

std::string listOf(const std::vector<std::uint32_t>& values) {
    std::string out;
    for (std::uint32_t v : values) out += (out.empty() ? "" : ", ") + std::to_string(v);
    return out;
}

void row(std::ostringstream& s, const std::string& code, const std::string& groups, const std::string& form,
         const std::string& written, const std::string& record) {
    s << "| " << code << " | " << groups << " | " << form << " | " << written << " | " << record << " |\n";
}

// What the record stage makes of a buffer that no layout wrote.
std::string unwrittenRecordText(std::uint8_t code) {
    return recordFieldsOf(code).empty() ? "(no record region)" : "parsed from the caller's buffer";
}

struct Group {
    const GroupLayouts* layouts;
    std::vector<std::uint32_t> models;
};

std::string groupsText(const std::vector<const Group*>& groups) {
    std::string out;
    for (const Group* g : groups) out += (out.empty() ? "{" : ", {") + listOf(g->models) + "}";
    return out;
}

// The rows of one layout, one per form it can take.
void layoutRows(std::ostringstream& s, std::uint8_t code, const Layout& layout,
                const std::vector<const Group*>& users) {
    std::vector<Condition> conds;
    collectConditions(layout, conds);
    for (unsigned choice = (1U << conds.size()); choice-- > 0;) {
        std::string form;
        for (std::size_t i = 0; i < conds.size(); ++i)
            form += (form.empty() ? "" : "; ") + conditionText(conds[i], ((choice >> i) & 1U) != 0);
        const auto area = areaFor(code, kLongest, conds, choice);
        std::vector<unsigned> thresholds;
        collectThresholds(layout, area.data(), thresholds);
        for (unsigned k : thresholds)
            form += (form.empty() ? "" : ", ") + std::string("threshold step on out ") + std::to_string(k);
        const std::uint32_t model = users.front()->models.front();
        const Written longest = coverage(model, area);
        const Written shorter = coverage(model, areaFor(code, kShorter, conds, choice));
        row(s, std::to_string(code), groupsText(users), form, writtenText(longest, shorter), recordText(code, longest));
    }
}

// One row per distinct layout of the reply code (groups that share a table
// share the row), then the groups without a layout for it.
void codeRows(std::ostringstream& s, std::uint8_t code, const std::vector<Group>& groups) {
    std::vector<const Layout*> layouts;
    std::vector<std::vector<const Group*>> users;
    std::vector<const Group*> without;
    for (const Group& g : groups) {
        const Layout* layout = g.layouts->byReplyCode[code];
        if (layout == nullptr) {
            without.push_back(&g);
            continue;
        }
        std::size_t i = 0;
        while (i < layouts.size() && layouts[i] != layout) ++i;
        if (i == layouts.size()) {
            layouts.push_back(layout);
            users.emplace_back();
        }
        users[i].push_back(&g);
    }
    for (std::size_t i = 0; i < layouts.size(); ++i) layoutRows(s, code, *layouts[i], users[i]);
    if (!without.empty())
        row(s, std::to_string(code), groupsText(without), "no layout", "none", unwrittenRecordText(code));
}

}  // namespace

std::string layoutTableMarkdown() {
    std::ostringstream s;
    s << "# Normalized reply layouts\n\n"
         "Generated by `tools/layout-table` from the layout tables in `src/reply/`; do not edit by hand.\n"
         "Regenerate with `cmake --build <build> --target layouts-doc`.\n\n"
         "For each model group and reply code (and form, where a layout chooses by a reply byte): the\n"
         "positions of the caller's buffer (out 0..316) that the layout writes, and the `ReplyRecord`\n"
         "fields the record stage then fills from written positions only. Every other position keeps the\n"
         "caller's content, and so do the record fields fed from it. L is the frame's length byte r[1];\n"
         "positions are those of a reply of L = 250. Reply codes 0 and 10..246 have no layout in any group.\n"
         "Models 3, 10, 15, 16 and 7, 20, 21 share every layout but reply code 3, which for the first four\n"
         "adds a threshold step when r[3] = 0; they are listed apart.\n\n";
    s << "| Reply code | Model groups | Form | Buffer positions written | Record fields filled from them |\n";
    s << "|---|---|---|---|---|\n";
    std::vector<Group> groups;
    std::vector<std::uint32_t> none;
    for (std::uint32_t model = 0; model < kModelCodes; ++model) {
        const GroupLayouts* g = reply::groupForModel(model);
        if (g == nullptr) {
            none.push_back(model);
            continue;
        }
        std::size_t i = 0;
        while (i < groups.size() && groups[i].layouts != g) ++i;
        if (i == groups.size()) groups.push_back({g, {}});
        groups[i].models.push_back(model);
    }
    for (std::uint8_t code = 1; code <= 9; ++code) codeRows(s, code, groups);
    row(s, "1..9", "models " + listOf(none) + ", " + std::to_string(kModelCodes) + " and above", "no normalization",
        "none", "codes 1, 2, 3, 5, 6 parsed from the caller's buffer");
    return s.str();
}

}  // namespace kavrol::tools
