#include "devsim/stable_link.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

namespace kavrol::tools {

StableLink::StableLink(const std::string& linkPath, const std::string& target) : path_(linkPath), target_(target) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(path_, ec);
    if (fs::exists(st) && !fs::is_symlink(st)) {
        throw std::runtime_error("--link " + path_ + ": exists and is not a symbolic link");
    }
    const std::string temporary = path_ + ".new-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target_.c_str(), temporary.c_str()) != 0) {
        throw std::runtime_error("--link " + path_ + ": " + std::strerror(errno));
    }
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::runtime_error("--link " + path_ + ": " + std::strerror(error));
    }
}

StableLink::~StableLink() {
    std::error_code ec;
    if (std::filesystem::read_symlink(path_, ec) == target_ && !ec) ::unlink(path_.c_str());
}

}  // namespace kavrol::tools
