#include "gateway/command.h"

#include <algorithm>

#include "common/hex.h"

namespace kavrol::gateway {

namespace {

using nlohmann::json;

constexpr std::uint32_t kMaxCommandTimeoutMs = 60000;

// An unsigned integer value 0..max, or an error naming the key.
std::optional<std::uint32_t> number(const json& j, const char* key, std::uint32_t max, std::string& error) {
    const json& v = j.at(key);
    if (!v.is_number_integer() || v.get<std::int64_t>() < 0 || v.get<std::int64_t>() > max) {
        error = std::string(key) + ": must be an integer 0.." + std::to_string(max) + ", got " + v.dump();
        return std::nullopt;
    }
    return v.get<std::uint32_t>();
}

std::string readInto(const json& j, ParsedCommand& p) {
    static const char* const kKeys[] = {"command", "sub", "words", "raw", "model", "timeout_ms", "id"};
    for (const auto& item : j.items()) {
        if (std::find(std::begin(kKeys), std::end(kKeys), item.key()) == std::end(kKeys)) {
            return item.key() + ": unknown key";
        }
    }
    std::string error;
    tools::HostCommand& r = p.request;
    if (!j.contains("command")) return "command: missing (required)";
    const auto command = number(j, "command", 255, error);
    if (!command) return error;
    r.command = static_cast<std::uint8_t>(*command);
    if (j.contains("sub")) {
        const auto sub = number(j, "sub", 255, error);
        if (!sub) return error;
        r.subCommand = static_cast<std::uint8_t>(*sub);
    }
    if (j.contains("model")) {
        const auto model = number(j, "model", 24, error);
        if (!model) return error;
        r.model = *model;
    }
    if (j.contains("timeout_ms")) {
        const auto t = number(j, "timeout_ms", kMaxCommandTimeoutMs, error);
        if (!t) return error;
        if (*t == 0) return "timeout_ms: must be at least 1";
        p.timeoutMs = *t;
    }
    std::vector<std::uint16_t> words;
    if (j.contains("words")) {
        const json& list = j["words"];
        if (!list.is_array()) return "words: must be an array of integers 0..65535";
        for (const json& w : list) {
            if (!w.is_number_integer() || w.get<std::int64_t>() < 0 || w.get<std::int64_t>() > 0xFFFF) {
                return "words: " + w.dump() + " is not an integer 0..65535";
            }
            words.push_back(w.get<std::uint16_t>());
        }
    }
    tools::Bytes raw;
    if (j.contains("raw")) {
        if (!j["raw"].is_string()) return "raw: must be hex text such as \"41 42 43\"";
        const auto bytes = tools::parseHex(j["raw"].get<std::string>(), &error);
        if (!bytes) return "raw: " + error;
        raw = *bytes;
    }
    std::string why = r.setPayload(words, raw);
    if (why.empty()) why = tools::checkCommand(r);
    return why.empty() ? why : (raw.empty() ? "words: " : "raw: ") + why;
}

}  // namespace

ParsedCommand parseCommand(const std::string& payload, const DeviceConfig& device) {
    ParsedCommand p;
    p.request.model = device.model;
    p.request.muxMode = device.multiplexed ? 1 : 0;
    p.request.setRoute(device.route);  // at most 9 bytes: the configuration is checked
    json j;
    try {
        j = json::parse(payload);
    } catch (const json::parse_error& e) {
        p.error = std::string("not JSON: ") + e.what();
        return p;
    }
    if (!j.is_object()) {
        p.error = "a command is a JSON object, not " + std::string(j.type_name());
        return p;
    }
    if (j.contains("id")) p.id = j["id"];
    p.error = readInto(j, p);
    return p;
}

}  // namespace kavrol::gateway
