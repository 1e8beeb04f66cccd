#include "gateway/config.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

#include "common/hex.h"
#include "common/number_list.h"
#include "gateway/toml_reader.h"

namespace kavrol::gateway {

namespace {

constexpr std::int64_t kMaxIntervalMs = 86400000;
constexpr std::int64_t kMaxTimeoutMs = 3600000;
constexpr std::int64_t kMaxQueueLimit = 100000000;

// A name that is one topic level and one metrics label value as it stands.
std::string nameProblem(const std::string& name) {
    if (name.empty()) return "is empty";
    for (const char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '_' && c != '-' && c != '.') {
            return "'" + name + "' may hold only letters, digits, '_', '-' and '.'";
        }
    }
    return {};
}

std::string requiredName(TomlReader& t, const char* key) {
    const auto name = t.text(key);
    if (!name) t.missing(key);
    if (const std::string why = nameProblem(*name); !why.empty()) t.fail(key, why);
    return *name;
}

// Topic levels separated by '/', each a name.
std::string prefixProblem(const std::string& prefix) {
    std::size_t from = 0;
    for (;;) {
        const std::size_t slash = prefix.find('/', from);
        const std::string level = prefix.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
        if (const std::string why = nameProblem(level); !why.empty()) return "topic level " + why;
        if (slash == std::string::npos) return {};
        from = slash + 1;
    }
}

std::vector<std::uint32_t> integers(TomlReader& t, const char* key, std::uint32_t max, std::size_t most) {
    std::vector<std::uint32_t> out;
    const toml::array* a = t.array(key);
    if (a == nullptr) return out;
    if (a->size() > most)
        t.fail(key, "at most " + std::to_string(most) + " values, " + std::to_string(a->size()) + " given");
    for (std::size_t i = 0; i < a->size(); ++i) {
        const toml::node& n = *a->get(i);
        const std::string at = t.pathOf(key) + "[" + std::to_string(i) + "]";
        if (!n.is_integer()) t.failAt(n, at, "must be an integer");
        const std::int64_t v = n.as_integer()->get();
        if (v < 0 || v > max) t.failAt(n, at, std::to_string(v) + " is out of range 0.." + std::to_string(max));
        out.push_back(static_cast<std::uint32_t>(v));
    }
    return out;
}

template <typename T>
T narrow(std::int64_t v) {
    return static_cast<T>(v);
}

void readTls(TomlReader& broker, BrokerConfig& b) {
    const toml::table* tls = broker.table("tls");
    if (tls == nullptr) return;
    TomlReader t(broker.file(), *tls, broker.pathOf("tls"));
    b.tls.caFile = t.text("ca_file").value_or("");
    b.tls.certFile = t.text("cert_file").value_or("");
    b.tls.keyFile = t.text("key_file").value_or("");
    if (b.tls.caFile.empty()) t.fail("ca_file", "missing (required with [broker.tls])");
    const std::pair<const char*, const std::string*> files[] = {
        {"ca_file", &b.tls.caFile}, {"cert_file", &b.tls.certFile}, {"key_file", &b.tls.keyFile}};
    for (const auto& [key, file] : files) {
        if (!file->empty() && !std::ifstream(*file)) t.fail(key, *file + " cannot be read: " + std::strerror(errno));
    }
    if (b.tls.certFile.empty() != b.tls.keyFile.empty()) {
        t.fail(b.tls.certFile.empty() ? "cert_file" : "key_file", "cert_file and key_file go together");
    }
    t.finish();
}

BrokerConfig readBroker(TomlReader& root, const std::string& gatewayId) {
    BrokerConfig b;
    const toml::table* table = root.table("broker");
    if (table == nullptr) root.missing("broker");
    TomlReader t(root.file(), *table, "broker");
    b.host = t.text("host").value_or(b.host);
    if (b.host.empty()) t.fail("host", "is empty");
    b.port = narrow<unsigned>(t.integer("port", 1, 65535).value_or(b.port));
    b.clientId = t.text("client_id").value_or("kavrol-gateway-" + gatewayId);
    if (b.clientId.empty()) t.fail("client_id", "is empty");
    b.keepAliveS = narrow<unsigned>(t.integer("keep_alive", 5, 65535).value_or(b.keepAliveS));
    b.qos = narrow<int>(t.integer("qos", 0, 2).value_or(b.qos));
    b.username = t.text("username").value_or("");
    b.password = t.text("password").value_or("");
    if (b.username.empty() && !b.password.empty()) t.fail("password", "needs a username");
    readTls(t, b);
    t.finish();
    return b;
}

PollConfig readPoll(TomlReader& t, const DeviceConfig& d) {
    PollConfig p;
    p.name = requiredName(t, "name");
    tools::HostCommand& r = p.request;
    r.model = d.model;
    r.muxMode = d.multiplexed ? 1 : 0;
    r.setRoute(d.route);  // at most 9 bytes: readDevice checks them
    const auto command = t.integer("command", 0, 255);
    if (!command) t.missing("command");
    r.command = narrow<std::uint8_t>(*command);
    r.subCommand = narrow<std::uint8_t>(t.integer("sub", 0, 255).value_or(0));
    std::vector<std::uint16_t> words;
    for (std::uint32_t w : integers(t, "words", 0xFFFF, 4)) words.push_back(static_cast<std::uint16_t>(w));
    tools::Bytes raw;
    if (const auto text = t.text("raw")) {
        std::string error;
        const auto bytes = tools::parseHex(*text, &error);
        if (!bytes) t.fail("raw", error);
        raw = *bytes;
    }
    const auto interval = t.integer("interval_ms", 0, kMaxIntervalMs);
    if (!interval) t.missing("interval_ms");
    p.intervalMs = narrow<unsigned>(*interval);
    std::string why = r.setPayload(words, raw);
    if (why.empty()) why = tools::checkCommand(r);
    if (!why.empty()) t.fail(raw.empty() ? "words" : "raw", why);
    t.finish();
    return p;
}

DeviceConfig readDevice(TomlReader& t) {
    DeviceConfig d;
    d.name = requiredName(t, "name");
    const auto model = t.integer("model", 0, 24);
    if (!model) t.missing("model");
    d.model = narrow<std::uint32_t>(*model);
    for (std::uint32_t b : integers(t, "route", 255, KAVROL_MAX_ROUTE)) d.route.push_back(static_cast<std::uint8_t>(b));
    d.multiplexed = t.boolean("multiplexed").value_or(!d.route.empty());
    if (!d.multiplexed && !d.route.empty()) t.fail("multiplexed", "a route needs a multiplexed frame");
    std::set<std::string> names;
    if (const toml::array* polls = t.tables("poll")) {
        for (std::size_t i = 0; i < polls->size(); ++i) {
            TomlReader pt(t.file(), *polls->get(i)->as_table(), t.pathOf("poll[" + std::to_string(i) + "]"));
            d.polls.push_back(readPoll(pt, d));
            if (!names.insert(d.polls.back().name).second)
                pt.fail("name", "poll '" + d.polls.back().name + "' is given twice");
        }
    }
    t.finish();
    return d;
}

LineConfig readLine(TomlReader& t, std::size_t defaultQueueLimit) {
    LineConfig l;
    l.name = requiredName(t, "name");
    const auto port = t.text("port");
    if (!port) t.missing("port");
    if (port->empty()) t.fail("port", "is empty");
    l.port = *port;
    l.settings.baud = narrow<unsigned>(t.integer("baud", 50, 4000000).value_or(l.settings.baud));
    if (!tools::isStandardBaud(l.settings.baud)) {
        t.fail("baud", std::to_string(l.settings.baud) + " is not a standard rate (e.g. 9600, 19200, 115200)");
    }
    l.settings.dataBits = narrow<unsigned>(t.integer("data_bits", 5, 8).value_or(l.settings.dataBits));
    const std::string parity = t.text("parity").value_or("N");
    if (parity.size() != 1 || std::string("NEOneo").find(parity[0]) == std::string::npos) {
        t.fail("parity", "'" + parity + "' is not N, E or O");
    }
    l.settings.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(parity[0])));
    l.settings.stopBits = narrow<unsigned>(t.integer("stop_bits", 1, 2).value_or(l.settings.stopBits));
    l.timeoutMs = narrow<std::uint32_t>(t.integer("timeout_ms", 1, kMaxTimeoutMs).value_or(l.timeoutMs));
    l.reopen = t.boolean("reopen").value_or(true);
    l.queueLimit = narrow<std::size_t>(
        t.integer("queue_limit", 1, kMaxQueueLimit).value_or(static_cast<std::int64_t>(defaultQueueLimit)));
    const toml::array* devices = t.tables("device");
    if (devices == nullptr) t.fail("device", "a line needs at least one [[line.device]]");
    std::set<std::string> names;
    for (std::size_t i = 0; i < devices->size(); ++i) {
        TomlReader dt(t.file(), *devices->get(i)->as_table(), t.pathOf("device[" + std::to_string(i) + "]"));
        l.devices.push_back(readDevice(dt));
        if (!names.insert(l.devices.back().name).second)
            dt.fail("name", "device '" + l.devices.back().name + "' is given twice");
    }
    t.finish();
    return l;
}

void readGateway(TomlReader& root, GatewayConfig& c, std::size_t& queueLimit) {
    const toml::table* table = root.table("gateway");
    if (table == nullptr) root.missing("gateway");
    TomlReader t(root.file(), *table, "gateway");
    c.id = requiredName(t, "id");
    c.prefix = t.text("prefix").value_or(c.prefix);
    if (const std::string why = prefixProblem(c.prefix); !why.empty()) t.fail("prefix", why);
    c.metricsListen = t.text("metrics").value_or("");
    if (!c.metricsListen.empty()) {
        const std::size_t colon = c.metricsListen.rfind(':');
        std::string error;
        if (colon == std::string::npos || colon == 0 ||
            !tools::parseNumber(c.metricsListen.substr(colon + 1), 65535, &error)) {
            t.fail("metrics", "'" + c.metricsListen + "' is not HOST:PORT");
        }
    }
    c.includeBuffer = t.boolean("include_buffer").value_or(false);
    queueLimit = narrow<std::size_t>(
        t.integer("queue_limit", 1, kMaxQueueLimit).value_or(static_cast<std::int64_t>(kDefaultQueueLimit)));
    t.finish();
}

}  // namespace

GatewayConfig loadConfig(const std::string& path) {
    if (std::ifstream probe(path); !probe) {
        throw configError(path, 1, "(file)", std::string("cannot be read: ") + std::strerror(errno));
    }
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        const auto line = e.source().begin.line;
        throw configError(path, line, "(syntax)", std::string(e.description()));
    }
    GatewayConfig c;
    c.path = path;
    TomlReader t(path, root, "");
    std::size_t queueLimit = kDefaultQueueLimit;
    readGateway(t, c, queueLimit);
    c.broker = readBroker(t, c.id);
    const toml::array* lines = t.tables("line");
    if (lines == nullptr) t.fail("line", "missing: the gateway needs at least one [[line]]");
    std::set<std::string> names;
    std::set<std::string> ports;
    for (std::size_t i = 0; i < lines->size(); ++i) {
        TomlReader lt(path, *lines->get(i)->as_table(), "line[" + std::to_string(i) + "]");
        c.lines.push_back(readLine(lt, queueLimit));
        const LineConfig& l = c.lines.back();
        if (!names.insert(l.name).second) lt.fail("name", "line '" + l.name + "' is given twice");
        if (!ports.insert(l.port).second) lt.fail("port", l.port + " is the port of another line");
    }
    t.finish();
    return c;
}

}  // namespace kavrol::gateway
