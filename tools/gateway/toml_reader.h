// Reading one TOML table with positions for every complaint: each value is
// taken by key and type-checked, and keys nobody asked for are errors.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include <toml++/toml.h>

#include "gateway/config.h"

namespace kavrol::gateway {

class TomlReader {
public:
    // path: the table's key path ("broker", "line[0].device[1]"); "" for the root.
    TomlReader(const std::string& file, const toml::table& table, std::string path);

    std::optional<std::string> text(const char* key);
    std::optional<std::int64_t> integer(const char* key, std::int64_t min, std::int64_t max);
    std::optional<bool> boolean(const char* key);
    const toml::array* array(const char* key);
    const toml::table* table(const char* key);
    // An array whose every element is a table ([[key]]); null when absent.
    const toml::array* tables(const char* key);

    std::string pathOf(const char* key) const;
    std::string pathOf(const std::string& key) const;

    // Throws ConfigError at the key's line (the table's line when it is absent).
    [[noreturn]] void fail(const char* key, const std::string& message) const;
    // At the node's line, naming keyPath.
    [[noreturn]] void failAt(const toml::node& node, const std::string& keyPath, const std::string& message) const;
    [[noreturn]] void missing(const char* key) const;

    // Throws for the first key that was never asked for.
    void finish() const;

    const std::string& file() const { return file_; }

private:
    const toml::node* take(const char* key);

    std::string file_;
    const toml::table& table_;
    std::string path_;
    std::set<std::string> taken_;
};

// "FILE:LINE: key: message"
ConfigError configError(const std::string& file, std::uint32_t line, const std::string& key,
                        const std::string& message);

}  // namespace kavrol::gateway
