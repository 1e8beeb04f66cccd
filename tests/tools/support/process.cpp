#include "support/process.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kavrol::tools::test {

namespace {

std::vector<char*> argvOf(const std::vector<std::string>& args) {
    std::vector<char*> v;
    for (const std::string& a : args) v.push_back(const_cast<char*>(a.c_str()));
    v.push_back(nullptr);
    return v;
}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

bool eventually(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        ::usleep(20000);
    }
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string tempPath(const std::string& stem) {
    static std::atomic<unsigned> counter{0};
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/kavrol-tools-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter++) + "-" + stem;
}

Spawned::Spawned(const std::vector<std::string>& argv) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    auto args = argvOf(argv);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) {
        ::close(out_);
        ::close(err_);
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

Spawned::~Spawned() {
    if (pid_ > 0) stop(SIGKILL);
}

RunResult Spawned::stop(int signal, int timeoutMs) {
    if (pid_ > 0) ::kill(pid_, signal);
    return wait(timeoutMs);
}

RunResult Spawned::wait(int timeoutMs) {
    RunResult result;
    if (pid_ <= 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 && !killed) {
            ::kill(pid_, SIGKILL);
            killed = true;
        }
        if (::poll(fds, 2, left > 0 ? static_cast<int>(left) : 100) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& f : fds) {
        if (f.fd >= 0) ::close(f.fd);
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    result.exitCode = killed ? -1 : exitCodeOf(status);
    return result;
}

RunResult run(const std::vector<std::string>& argv, int timeoutMs) { return Spawned(argv).wait(timeoutMs); }

RunResult query(const std::string& port, const std::vector<std::string>& args) {
    std::vector<std::string> argv{KAVROL_CLI_PATH, "query", "--json", "--port", port};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

Devsim::Devsim(const std::vector<std::string>& args) : Devsim(KAVROL_DEVSIM_PATH, args) {}

Devsim::Devsim(const std::string& executable, const std::vector<std::string>& args) : logFile_(tempPath("devsim.log")) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> argv{executable};
    argv.insert(argv.end(), args.begin(), args.end());
    auto a = argvOf(argv);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int log = ::open(logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) ::dup2(log, STDERR_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(a[0], a.data());
        ::_exit(127);
    }
    ::close(out[1]);
    // The first line on standard output is the path to open.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (path_.empty() || path_.back() != '\n') {
        pollfd p{out[0], POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline || ::poll(&p, 1, 1000) < 0) break;
        char c = 0;
        if (p.revents != 0 && ::read(out[0], &c, 1) != 1) break;
        if (p.revents != 0) path_.push_back(c);
    }
    ::close(out[0]);
    if (path_.empty() || path_.back() != '\n') {
        const std::string logged = log();
        stop();
        std::remove(logFile_.c_str());
        throw std::runtime_error("kavrol-devsim printed no path: " + logged);
    }
    path_.pop_back();
}

int Devsim::stop() {
    if (pid_ <= 0) return 0;
    ::kill(pid_, SIGTERM);
    // A simulator that ignores SIGTERM is killed after a bound, so that a
    // test of that fault fails instead of hanging.
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Devsim::~Devsim() {
    stop();
    std::remove(logFile_.c_str());
}

std::string Devsim::log() const { return readFile(logFile_); }

}  // namespace kavrol::tools::test
