#include "simulator/scenario.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

namespace kavrol::tools {

namespace {

using nlohmann::json;

struct FaultInfo {
    FaultKind kind;
    std::string_view name;
    bool takesValue;
    std::uint32_t minValue;
    std::uint32_t maxValue;
};

constexpr FaultInfo kFaultInfo[] = {
    {FaultKind::Delay, "delay", true, 0, 60000},
    {FaultKind::NoReply, "no-reply", false, 0, 0},
    {FaultKind::Truncate, "truncate", true, 1, 250},
    {FaultKind::BadChecksum, "bad-checksum", false, 0, 0},
    {FaultKind::DeviceError, "device-error", true, 247, 255},
    {FaultKind::Noise, "noise", true, 1, 64},
    {FaultKind::Oversize, "oversize", true, 251, 255},
};

const FaultInfo& infoOf(FaultKind kind) {
    for (const FaultInfo& f : kFaultInfo) {
        if (f.kind == kind) return f;
    }
    throw ScenarioError("unknown fault kind");
}

[[noreturn]] void fail(const std::string& where, const std::string& why) { throw ScenarioError(where + ": " + why); }

std::string kindList() {
    std::string s;
    for (const FaultInfo& f : kFaultInfo) s += (s.empty() ? "" : ", ") + std::string(f.name);
    return s;
}

void checkFault(const FaultSpec& f, const std::string& where) {
    if (!(f.probability >= 0.0 && f.probability <= 1.0)) fail(where, "probability must lie in 0..1");
    const FaultInfo& info = infoOf(f.kind);
    if (!f.value) return;
    if (!info.takesValue) fail(where, std::string(info.name) + " takes no value");
    if (*f.value < info.minValue || *f.value > info.maxValue) {
        fail(where, std::string(info.name) + " value must lie in " + std::to_string(info.minValue) + ".." +
                        std::to_string(info.maxValue));
    }
}

void rejectUnknownKeys(const json& j, std::initializer_list<std::string_view> known, const std::string& where) {
    if (!j.is_object()) fail(where, "must be an object");
    for (const auto& [key, value] : j.items()) {
        bool ok = false;
        for (std::string_view k : known) ok = ok || key == k;
        if (!ok) fail(where, "unknown key '" + key + "'");
    }
}

std::uint32_t readUnsigned(const json& j, const std::string& where, std::uint32_t max) {
    if (!j.is_number_integer() || j.get<std::int64_t>() < 0 || j.get<std::int64_t>() > max) {
        fail(where, "must be an integer 0.." + std::to_string(max));
    }
    return j.get<std::uint32_t>();
}

std::uint8_t readByte(const json& j, const std::string& where) {
    return static_cast<std::uint8_t>(readUnsigned(j, where, 255));
}

Bytes readBytes(const json& j, const std::string& where) {
    if (j.is_string()) {
        std::string error;
        auto bytes = parseHex(j.get<std::string>(), &error);
        if (!bytes) fail(where, error);
        return *bytes;
    }
    if (!j.is_array()) fail(where, "must be hex text or an array of bytes");
    Bytes out;
    for (std::size_t i = 0; i < j.size(); ++i) out.push_back(readByte(j[i], where + "[" + std::to_string(i) + "]"));
    return out;
}

Bytes readRoute(const json& j, const std::string& where) {
    if (!j.is_array()) fail(where, "must be an array of route bytes");
    Bytes route = readBytes(j, where);
    if (route.size() > kMaxRoute) fail(where, "a route has at most 9 bytes");
    return route;
}

FaultSpec readFault(const json& j, const std::string& where) {
    rejectUnknownKeys(j, {"kind", "probability", "value"}, where);
    if (!j.contains("kind") || !j["kind"].is_string()) fail(where, "needs \"kind\": one of " + kindList());
    const auto kind = faultKindNamed(j["kind"].get<std::string>());
    if (!kind) fail(where + ".kind", "unknown fault '" + j["kind"].get<std::string>() + "' (" + kindList() + ")");
    FaultSpec f;
    f.kind = *kind;
    if (j.contains("probability")) {
        if (!j["probability"].is_number()) fail(where + ".probability", "must be a number");
        f.probability = j["probability"].get<double>();
    }
    if (j.contains("value")) f.value = readUnsigned(j["value"], where + ".value", 0xFFFFFFFFU);
    checkFault(f, where);
    return f;
}

std::vector<FaultSpec> readFaults(const json& j, const std::string& where) {
    if (!j.is_array()) fail(where, "must be an array of faults");
    std::vector<FaultSpec> out;
    for (std::size_t i = 0; i < j.size(); ++i) out.push_back(readFault(j[i], where + "[" + std::to_string(i) + "]"));
    return out;
}

Rule readRule(const json& j, const std::string& where) {
    rejectUnknownKeys(j, {"route", "command", "sub", "reply", "r3", "payload", "pattern_last", "faults", "note"},
                      where);
    Rule r;
    if (j.contains("route")) r.route = readRoute(j["route"], where + ".route");
    if (j.contains("command")) r.command = readByte(j["command"], where + ".command");
    if (j.contains("sub")) r.subCommand = readByte(j["sub"], where + ".sub");
    if (!j.contains("reply")) fail(where, "needs \"reply\", the reply code");
    r.replyCode = readByte(j["reply"], where + ".reply");
    if (j.contains("r3")) r.header3 = readByte(j["r3"], where + ".r3");
    if (j.contains("payload")) r.payload = readBytes(j["payload"], where + ".payload");
    if (r.payload.size() > kMaxReplyPayload) fail(where + ".payload", "at most 245 bytes (L at most 250)");
    if (j.contains("pattern_last")) {
        if (j.contains("payload")) fail(where, "give \"payload\" or \"pattern_last\", not both");
        const unsigned last = readUnsigned(j["pattern_last"], where + ".pattern_last", kMaxReplyIndex);
        if (last < kMinFrameIndex) fail(where + ".pattern_last", "must lie in 5..250");
        r.patternLast = last;
    }
    if (j.contains("faults")) r.faults = readFaults(j["faults"], where + ".faults");
    if (j.contains("note")) {
        if (!j["note"].is_string()) fail(where + ".note", "must be text");
        r.note = j["note"].get<std::string>();
    }
    return r;
}

json bytesArray(const Bytes& b) { return json(std::vector<unsigned>(b.begin(), b.end())); }

json faultToJson(const FaultSpec& f) {
    json j{{"kind", faultName(f.kind)}, {"probability", f.probability}};
    if (f.value) j["value"] = *f.value;
    return j;
}

json faultsToJson(const std::vector<FaultSpec>& faults) {
    json a = json::array();
    for (const FaultSpec& f : faults) a.push_back(faultToJson(f));
    return a;
}

}  // namespace

std::string_view faultName(FaultKind kind) { return infoOf(kind).name; }

std::optional<FaultKind> faultKindNamed(std::string_view name) {
    for (const FaultInfo& f : kFaultInfo) {
        if (f.name == name) return f.kind;
    }
    return std::nullopt;
}

FaultSpec parseFaultText(std::string_view text) {
    const std::string where = "fault '" + std::string(text) + "'";
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    if (parts.size() > 3) fail(where, "expected KIND[:PROBABILITY[:VALUE]]");
    const auto kind = faultKindNamed(parts[0]);
    if (!kind) fail(where, "unknown fault kind (" + kindList() + ")");
    FaultSpec f;
    f.kind = *kind;
    if (parts.size() >= 2) {
        const std::string p(parts[1]);
        std::size_t used = 0;
        try {
            f.probability = std::stod(p, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (p.empty() || used != p.size()) fail(where, "probability '" + p + "' is not a number");
    }
    if (parts.size() == 3) {
        std::uint32_t v = 0;
        const auto [ptr, ec] = std::from_chars(parts[2].data(), parts[2].data() + parts[2].size(), v);
        if (ec != std::errc() || ptr != parts[2].data() + parts[2].size()) {
            fail(where, "value '" + std::string(parts[2]) + "' is not a whole number");
        }
        f.value = v;
    }
    checkFault(f, where);
    return f;
}

Scenario scenarioFromJson(const json& j) {
    rejectUnknownKeys(j, {"name", "description", "routes", "faults", "rules"}, "scenario");
    Scenario s;
    if (j.contains("name")) {
        if (!j["name"].is_string()) fail("name", "must be text");
        s.name = j["name"].get<std::string>();
    }
    if (j.contains("description")) {
        if (!j["description"].is_string()) fail("description", "must be text");
        s.description = j["description"].get<std::string>();
    }
    if (j.contains("routes")) {
        if (!j["routes"].is_array()) fail("routes", "must be an array of routes");
        for (std::size_t i = 0; i < j["routes"].size(); ++i) {
            s.routes.push_back(readRoute(j["routes"][i], "routes[" + std::to_string(i) + "]"));
        }
    }
    if (j.contains("faults")) s.faults = readFaults(j["faults"], "faults");
    if (!j.contains("rules") || !j["rules"].is_array()) fail("scenario", "needs \"rules\", an array");
    for (std::size_t i = 0; i < j["rules"].size(); ++i) {
        s.rules.push_back(readRule(j["rules"][i], "rules[" + std::to_string(i) + "]"));
    }
    return s;
}

Scenario scenarioFromText(std::string_view text) {
    // The JSON reader takes a NUL for the end of its input and would accept
    // whatever follows it.
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
        throw ScenarioError("not valid JSON: a NUL byte at offset " + std::to_string(nul));
    }
    json j;
    try {
        j = json::parse(text);
    } catch (const json::parse_error& e) {
        throw ScenarioError(std::string("not valid JSON: ") + e.what());
    }
    return scenarioFromJson(j);
}

namespace {

// Reads a scenario file: a regular file of at most kMaxScenarioFileBytes.
// Opened non-blocking, so that a FIFO cannot hold the open; a device or a
// FIFO is refused before anything is read.
std::string scenarioFileText(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw ScenarioError(path + ": cannot be read: " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw ScenarioError(path + ": cannot be read: " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw ScenarioError(path + " is a directory, not a scenario file");
    if (!S_ISREG(st.st_mode)) throw ScenarioError(path + " is not a regular file, not a scenario file");
    const std::string limit =
        "larger than " + std::to_string(kMaxScenarioFileBytes) + " bytes, too large for a scenario";
    if (st.st_size > static_cast<off_t>(kMaxScenarioFileBytes)) throw ScenarioError(path + " is " + limit);
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ScenarioError(path + ": cannot be read: " + std::strerror(errno));
        if (n == 0) break;
        // The file may grow while it is read.
        if (text.size() + static_cast<std::size_t>(n) > kMaxScenarioFileBytes)
            throw ScenarioError(path + " is " + limit);
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace

Scenario scenarioFromFile(const std::string& path) {
    const std::string text = scenarioFileText(path);
    try {
        return scenarioFromText(text);
    } catch (const ScenarioError& e) {
        throw ScenarioError(path + ": " + e.what());
    }
}

json scenarioToJson(const Scenario& s) {
    json j;
    j["name"] = s.name;
    if (!s.description.empty()) j["description"] = s.description;
    json routes = json::array();
    for (const Bytes& r : s.routes) routes.push_back(bytesArray(r));
    j["routes"] = routes;
    if (!s.faults.empty()) j["faults"] = faultsToJson(s.faults);
    json rules = json::array();
    for (const Rule& r : s.rules) {
        json o;
        if (r.route) o["route"] = bytesArray(*r.route);
        if (r.command) o["command"] = *r.command;
        if (r.subCommand) o["sub"] = *r.subCommand;
        o["reply"] = r.replyCode;
        if (r.header3) o["r3"] = *r.header3;
        if (r.patternLast) {
            o["pattern_last"] = *r.patternLast;
        } else {
            o["payload"] = toHex(r.payload);
        }
        if (!r.faults.empty()) o["faults"] = faultsToJson(r.faults);
        if (!r.note.empty()) o["note"] = r.note;
        rules.push_back(o);
    }
    j["rules"] = rules;
    return j;
}

Bytes replyFor(const Rule& r, const protocol::CommandFrameFields& c) {
    Bytes payload = r.payload;
    if (r.patternLast) {
        payload.clear();
        for (unsigned j = 6; j <= *r.patternLast; ++j) payload.push_back(static_cast<std::uint8_t>(j + c.subCommand));
    }
    return replyFrame(r.replyCode, r.header3.value_or(c.subCommand), payload);
}

std::optional<std::size_t> matchRule(const Scenario& s, const protocol::CommandFrameFields& c) {
    for (std::size_t i = 0; i < s.rules.size(); ++i) {
        const Rule& r = s.rules[i];
        if (r.route && !std::ranges::equal(*r.route, c.route)) continue;
        if (r.command && *r.command != c.command) continue;
        if (r.subCommand && *r.subCommand != c.subCommand) continue;
        return i;
    }
    return std::nullopt;
}

bool routeServed(const Scenario& s, std::span<const std::uint8_t> route) {
    return std::ranges::any_of(s.routes, [&](const Bytes& r) { return std::ranges::equal(r, route); });
}

}  // namespace kavrol::tools
