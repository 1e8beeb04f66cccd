#include "protocol_constants.h"

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/posix_speeds.h"
#include "kavrol32/kavrol32.h"
#include "kavrol32/link.h"
#include "protocol/checksum.h"
#include "protocol/frame.h"
#include "protocol/result_names.h"
#include "reply/model_groups.h"

namespace kavrol::tools {

namespace {

using Json = nlohmann::ordered_json;

// Model codes above this have no normalization.
constexpr std::uint32_t kModelCodes = 25;

Json commandOffsets() {
#define KAVROL_OFFSET(f)                                                                 \
    {                                                                                    \
#f, {                                                                            \
            {"offset", offsetof(KavrolCommand, f)}, { "size", sizeof(KavrolCommand::f) } \
        }                                                                                \
    }
    return Json{KAVROL_OFFSET(routeCount), KAVROL_OFFSET(route),     KAVROL_OFFSET(command),
                KAVROL_OFFSET(subCommand), KAVROL_OFFSET(itemCount), KAVROL_OFFSET(muxMode),
                KAVROL_OFFSET(words),      KAVROL_OFFSET(rawData),   KAVROL_OFFSET(rawLength)};
#undef KAVROL_OFFSET
}

Json results() {
    Json out = Json::array();
    for (std::int32_t r = protocol::kOk; r >= protocol::deviceErrorResult(protocol::kFirstDeviceError); --r) {
        if (r == 0) continue;
        Json one{{"value", r}, {"name", protocol::resultName(r)}};
        if (protocol::isDeviceErrorResult(r)) one["device_code"] = protocol::deviceErrorCodeOf(r);
        out.push_back(one);
    }
    return out;
}

// The groups of models that share one normalization, with the reply codes
// their layouts cover, in model order of their first member.
Json modelGroups() {
    std::vector<const reply::GroupLayouts*> seen;
    Json groups = Json::array();
    std::vector<std::uint32_t> none;
    for (std::uint32_t model = 0; model < kModelCodes; ++model) {
        const reply::GroupLayouts* g = reply::groupForModel(model);
        if (g == nullptr) {
            none.push_back(model);
            continue;
        }
        std::size_t i = 0;
        while (i < seen.size() && seen[i] != g) ++i;
        if (i == seen.size()) {
            seen.push_back(g);
            Json codes = Json::array();
            for (std::size_t c = 0; c < g->byReplyCode.size(); ++c) {
                if (g->byReplyCode[c] != nullptr) codes.push_back(c);
            }
            groups.push_back({{"name", g->name}, {"models", Json::array()}, {"layout_codes", codes}});
        }
        groups[i]["models"].push_back(model);
    }
    groups.push_back({{"name", "none"}, {"models", none}, {"layout_codes", Json::array()}});
    return groups;
}

Json facts() {
    using namespace protocol;
    Json j;
    j["generated_by"] = "tools/layout-table; do not edit by hand";
    j["sizes"] = {{"reply_record", KAVROL_REPLY_RECORD_SIZE},
                  {"reply_buffer", KAVROL_REPLY_BUFFER_SIZE},
                  {"link", KAVROL_LINK_SIZE},
                  {"command", sizeof(KavrolCommand)},
                  {"max_reply_frame", KAVROL_MAX_REPLY_FRAME},
                  {"max_command_frame", KAVROL_MAX_COMMAND_FRAME},
                  {"max_route", KAVROL_MAX_ROUTE},
                  {"receive_area", kReceiveAreaSize}};
    j["command_struct"] = commandOffsets();
    j["frame"] = {{"direct_start", kDirectStart},
                  {"envelope_start", kEnvelopeStart},
                  {"reply_start", kReplyStart},
                  {"min_frame_index", kMinFrameIndex},
                  {"max_command_index", kMaxCommandIndex},
                  {"min_envelope_index", kMinEnvelopeIndex},
                  {"max_reply_index", kMaxReplyIndex},
                  {"inner_header_size", kInnerHeaderSize},
                  {"envelope_header_size", kEnvelopeHeaderSize},
                  {"reply_payload_start", kReplyPayloadStart},
                  {"max_direct_raw", kMaxDirectRaw},
                  {"max_envelope_raw", kMaxEnvelopeRaw},
                  {"max_word_items", kMaxWordItems},
                  {"two_byte_odd_at", kTwoByteOddAt},
                  {"two_byte_even_at", kTwoByteEvenAt},
                  {"one_byte_at", kOneByteAt},
                  {"raw_commands", Json::array({8, 11})},
                  {"first_device_error", kFirstDeviceError},
                  {"device_error_bias", kDeviceErrorBias}};
    j["results"] = results();
    j["model_groups"] = modelGroups();
    Json rates = Json::array();
    for (const auto& speed : host::posix::kStandardSpeeds) rates.push_back(speed.baud);
    j["standard_bauds"] = rates;
    return j;
}

std::string luaKey(const std::string& key) { return key; }

// A JSON value as a Lua constructor: objects become keyed tables, arrays
// tables indexed from 1.
void writeLua(std::ostringstream& s, const Json& v, int depth, bool inArray = false) {
    const std::string indent(static_cast<std::size_t>(2 * (depth + 1)), ' ');
    const std::string closing(static_cast<std::size_t>(2 * depth), ' ');
    const auto primitive = [](const Json& e) { return e.is_primitive(); };
    const auto flatArray = [&](const Json& e) { return e.is_array() && std::all_of(e.begin(), e.end(), primitive); };
    const auto plain = [&](const Json& e) { return primitive(e) || flatArray(e); };
    if (v.is_object() && (inArray || depth >= 2) && std::all_of(v.begin(), v.end(), plain)) {
        // A record of plain values and lists inside a list or a table, such
        // as one result, one model group or one field's offset, stays on
        // one line.
        s << "{";
        bool first = true;
        for (const auto& [key, value] : v.items()) {
            s << (first ? " " : ", ") << luaKey(key) << " = ";
            writeLua(s, value, depth + 1);
            first = false;
        }
        s << " }";
    } else if (v.is_object()) {
        s << "{\n";
        for (const auto& [key, value] : v.items()) {
            s << indent << luaKey(key) << " = ";
            writeLua(s, value, depth + 1);
            s << ",\n";
        }
        s << closing << "}";
    } else if (v.is_array()) {
        if (flatArray(v)) {
            s << "{";
            for (std::size_t i = 0; i < v.size(); ++i)
                s << (i ? ", " : " ") << v[i].dump() << (i + 1 == v.size() ? " " : "");
            s << "}";
            return;
        }
        s << "{\n";
        for (const Json& e : v) {
            s << indent;
            writeLua(s, e, depth + 1, true);
            s << ",\n";
        }
        s << closing << "}";
    } else {
        s << v.dump();  // numbers and strings (ASCII) read the same in Lua
    }
}

}  // namespace

std::string protocolJson() { return facts().dump(2) + "\n"; }

std::string protocolLua() {
    std::ostringstream s;
    s << "-- The protocol facts for kavrol.lua. Generated by tools/layout-table; do not edit by hand.\n"
         "return ";
    Json j = facts();
    j.erase("generated_by");
    j.erase("standard_bauds");  // the dissector sees no line settings
    writeLua(s, j, 0);
    s << "\n";
    return s.str();
}

}  // namespace kavrol::tools
