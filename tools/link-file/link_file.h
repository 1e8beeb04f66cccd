// A symbolic link that a tool makes to the pseudo-terminal it serves, so that
// a client finds it under a fixed path, also after the tool restarts. The
// class touches nothing at that path that is not a symbolic link, and on
// destruction removes only its own link.
#pragma once

#include <stdexcept>
#include <string>

namespace kavrol::tools {

// The path cannot be made a link: it is something else, or the system refused.
class LinkFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class LinkFile {
public:
    // Makes linkPath a symbolic link to target. A symbolic link already
    // there (one a stopped tool left behind) is replaced in one step; a
    // regular file, directory or anything else is left as it is and
    // LinkFileError is thrown, naming the path.
    LinkFile(const std::string& linkPath, const std::string& target);
    // Removes the link unless it no longer points at target (another tool
    // has taken the path over since).
    ~LinkFile();
    LinkFile(const LinkFile&) = delete;
    LinkFile& operator=(const LinkFile&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string target_;
};

}  // namespace kavrol::tools
