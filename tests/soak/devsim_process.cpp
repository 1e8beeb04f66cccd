#include "devsim_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace kavrol::soak {

namespace {

constexpr int kStartLimitMs = 10000;

// Reads one line from fd within the time limit.
std::string readLine(int fd, int limitMs) {
    std::string line;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, limitMs) <= 0) throw std::runtime_error("kavrol-devsim printed no pty path in time");
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("kavrol-devsim ended before printing its pty path");
        if (c == '\n') return line;
        line += c;
    }
}

}  // namespace

DevsimProcess::DevsimProcess(const std::string& executable, const std::vector<std::string>& args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> argv{executable};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        // Ends with the test even when the test dies without stopping it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(executable.c_str(), cargv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    try {
        path_ = readLine(out[0], kStartLimitMs);
    } catch (...) {
        ::close(out[0]);
        stop();
        throw;
    }
    ::close(out[0]);
}

int DevsimProcess::stop() {
    if (pid_ <= 0) return 0;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

DevsimProcess::~DevsimProcess() { stop(); }

int OpenRawPort(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        ::close(fd);
        throw std::runtime_error("tcgetattr " + path);
    }
    ::cfmakeraw(&t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        ::close(fd);
        throw std::runtime_error("tcsetattr " + path);
    }
    return fd;
}

}  // namespace kavrol::soak
