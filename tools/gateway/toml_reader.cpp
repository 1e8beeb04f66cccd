#include "gateway/toml_reader.h"

namespace kavrol::gateway {

namespace {

std::uint32_t lineOf(const toml::node& node) { return node.source().begin.line; }

const char* typeName(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::string: return "a string";
        case toml::node_type::integer: return "an integer";
        case toml::node_type::floating_point: return "a floating-point number";
        case toml::node_type::boolean: return "a boolean";
        case toml::node_type::table: return "a table";
        case toml::node_type::array: return "an array";
        default: return "a date or time";
    }
}

}  // namespace

ConfigError configError(const std::string& file, std::uint32_t line, const std::string& key,
                        const std::string& message) {
    return ConfigError(file + ":" + std::to_string(line) + ": " + key + ": " + message);
}

TomlReader::TomlReader(const std::string& file, const toml::table& table, std::string path)
    : file_(file), table_(table), path_(std::move(path)) {}

std::string TomlReader::pathOf(const char* key) const { return path_.empty() ? key : path_ + "." + key; }
std::string TomlReader::pathOf(const std::string& key) const { return pathOf(key.c_str()); }

void TomlReader::fail(const char* key, const std::string& message) const {
    const toml::node* node = table_.get(key);
    throw configError(file_, lineOf(node != nullptr ? *node : table_), pathOf(key), message);
}

void TomlReader::failAt(const toml::node& node, const std::string& keyPath, const std::string& message) const {
    throw configError(file_, lineOf(node), keyPath, message);
}

void TomlReader::missing(const char* key) const { fail(key, "missing (required)"); }

const toml::node* TomlReader::take(const char* key) {
    taken_.insert(key);
    return table_.get(key);
}

std::optional<std::string> TomlReader::text(const char* key) {
    const toml::node* node = take(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_string()) fail(key, std::string("must be a string, not ") + typeName(*node));
    return node->as_string()->get();
}

std::optional<std::int64_t> TomlReader::integer(const char* key, std::int64_t min, std::int64_t max) {
    const toml::node* node = take(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_integer()) fail(key, std::string("must be an integer, not ") + typeName(*node));
    const std::int64_t v = node->as_integer()->get();
    if (v < min || v > max) {
        fail(key, std::to_string(v) + " is out of range " + std::to_string(min) + ".." + std::to_string(max));
    }
    return v;
}

std::optional<bool> TomlReader::boolean(const char* key) {
    const toml::node* node = take(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_boolean()) fail(key, std::string("must be true or false, not ") + typeName(*node));
    return node->as_boolean()->get();
}

const toml::array* TomlReader::array(const char* key) {
    const toml::node* node = take(key);
    if (node == nullptr) return nullptr;
    if (!node->is_array()) fail(key, std::string("must be an array, not ") + typeName(*node));
    return node->as_array();
}

const toml::table* TomlReader::table(const char* key) {
    const toml::node* node = take(key);
    if (node == nullptr) return nullptr;
    if (!node->is_table()) fail(key, std::string("must be a table, not ") + typeName(*node));
    return node->as_table();
}

const toml::array* TomlReader::tables(const char* key) {
    const toml::node* node = take(key);
    if (node == nullptr) return nullptr;
    if (!node->is_array_of_tables()) fail(key, "must be given as [[" + pathOf(key) + "]] tables");
    return node->as_array();
}

void TomlReader::finish() const {
    for (auto&& [key, node] : table_) {
        const std::string name(key.str());
        if (taken_.count(name) == 0) {
            const auto line = key.source().begin.line != 0 ? key.source().begin.line : lineOf(node);
            throw configError(file_, line, pathOf(name), "unknown key");
        }
    }
}

}  // namespace kavrol::gateway
