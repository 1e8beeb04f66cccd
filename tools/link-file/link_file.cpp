#include "link-file/link_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kavrol::tools {

namespace {

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw LinkFileError("--link " + path + ": " + why);
}

bool isSymlink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool pointsAt(const std::string& path, const std::string& target) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n >= 0 && static_cast<std::size_t>(n) < sizeof buf &&
           std::string(buf, static_cast<std::size_t>(n)) == target;
}

// A fresh symbolic link to target beside path, under a name nothing uses yet
// (nothing that already exists is removed to make room).
std::string freshLinkBeside(const std::string& path, const std::string& target) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        if (::symlink(target.c_str(), name.c_str()) == 0) return name;
        if (errno != EEXIST) refuse(path, std::strerror(errno));
    }
    refuse(path, "no free name beside it for the new link");
}

}  // namespace

LinkFile::LinkFile(const std::string& linkPath, const std::string& target) : path_(linkPath), target_(target) {
    if (::symlink(target_.c_str(), path_.c_str()) == 0) return;
    if (errno != EEXIST) refuse(path_, std::strerror(errno));
    if (!isSymlink(path_)) refuse(path_, "exists and is not a symbolic link (left as it is)");
    const std::string fresh = freshLinkBeside(path_, target_);
    // Swapping the two names in one step means that whatever took the path
    // between the look above and now is what lands at `fresh`, where it is
    // judged again: only a symbolic link is removed.
    if (::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) == 0) {
        if (isSymlink(fresh)) {
            ::unlink(fresh.c_str());
            return;
        }
        ::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE);
        ::unlink(fresh.c_str());
        refuse(path_, "exists and is not a symbolic link (left as it is)");
    }
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
        // A file system without the exchange: the look above has to do.
        if (::rename(fresh.c_str(), path_.c_str()) == 0) return;
        error = errno;
    }
    ::unlink(fresh.c_str());
    refuse(path_, std::strerror(error));
}

LinkFile::~LinkFile() {
    if (isSymlink(path_) && pointsAt(path_, target_)) ::unlink(path_.c_str());
}

}  // namespace kavrol::tools
