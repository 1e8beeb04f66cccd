#include "cli/monitor_command.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include <unistd.h>
#include <nlohmann/json.hpp>

#include "cli/line_decoder.h"
#include "cli/line_tap.h"
#include "cli/options.h"
#include "common/line_options.h"
#include "link-file/link_file.h"
#include "pty/pty_pair.h"

namespace kavrol::cli {

namespace {

volatile std::sig_atomic_t g_stop = 0;
extern "C" void onMonitorStopSignal(int) { g_stop = 1; }

constexpr int kTakeMs = 10;         // how often gaps and missing replies are looked at
constexpr int kReopenPollMs = 200;  // how often a lost device side is looked for
// After a stop, what the line brought is decoded for this long at most;
// the rest is counted (and kept in the raw log).
constexpr auto kDecodeAfterStop = std::chrono::milliseconds(500);

// The application's end and the device's end of the tap.
struct Ends {
    std::unique_ptr<pty::PtyPair> pty;
    std::unique_ptr<tools::SerialPort> app;
    std::unique_ptr<tools::SerialPort> device;
    int appFd() const { return pty ? pty->device() : app->fd(); }
    std::string appName;
    std::string deviceName;
};

Ends openEnds(const MonitorOptions& o) {
    Ends e;
    if (o.pty) {
        e.pty = std::make_unique<pty::PtyPair>();
        e.device = tools::SerialPort::open(o.device, o.line, !o.shared);
        e.appName = e.pty->portPath();
        e.deviceName = o.device;
    } else {
        e.app = tools::SerialPort::open(o.between[0], o.line, !o.shared);
        e.device = tools::SerialPort::open(o.between[1], o.line, !o.shared);
        e.appName = o.between[0];
        e.deviceName = o.between[1];
    }
    return e;
}

std::string systemReason() { return std::strerror(errno); }

// What went by in one direction, for the summary at exit.
struct DirectionTally {
    std::uint64_t commands = 0;
    std::uint64_t replies = 0;
    std::uint64_t cut = 0;
    std::uint64_t bad = 0;
    std::uint64_t noiseBytes = 0;
    std::uint64_t frames() const { return commands + replies + cut + bad; }
};

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string tallyText(const DirectionTally& t) {
    std::string parts;
    auto add = [&](std::uint64_t n, const char* one, const char* many) {
        if (n != 0) parts += (parts.empty() ? "" : ", ") + plural(n, one, many);
    };
    add(t.commands, "command", "commands");
    add(t.replies, "reply", "replies");
    add(t.cut, "cut frame", "cut frames");
    add(t.bad, "bad frame", "bad frames");
    std::string s = plural(t.frames(), "frame", "frames") + (parts.empty() ? "" : " (" + parts + ")");
    if (t.noiseBytes != 0) s += " and " + plural(t.noiseBytes, "noise byte", "noise bytes");
    return s;
}

nlohmann::json tallyJson(const DirectionTally& t) {
    return {{"frames", t.frames()}, {"commands", t.commands}, {"replies", t.replies},
            {"cut", t.cut},         {"bad", t.bad},           {"noise_bytes", t.noiseBytes}};
}

class Monitor {
public:
    Monitor(const MonitorOptions& o, tools::PcapWriter* pcap)
        : o_(o), pcap_(pcap), report_(std::cout, o.json, o.model), decoder_(report_, pcap) {
        if (!o.raw.empty()) {
            raw_ = std::fopen(o.raw.c_str(), "w");
            if (raw_ == nullptr) throw std::runtime_error("cannot create " + o.raw + ": " + systemReason());
        }
        decoder_.onFrame = [this](const tools::FoundFrame& f) { count(f); };
    }
    ~Monitor() {
        if (raw_ != nullptr) std::fclose(raw_);
    }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    void take(const std::vector<TapChunk>& chunks) {
        for (const TapChunk& c : chunks) {
            if (!failure_.empty()) return;
            if (!c.note.empty()) {
                annotate(c.note, c.timeUs);
                continue;
            }
            if (raw_ != nullptr) writeRaw(tools::rawLogLine(c.timeUs, c.direction, c.bytes));
            if (hurried()) {
                undecoded_ += c.bytes.size();
                continue;
            }
            // Any answer from the device counts: a damaged reply is shown as such.
            if (c.direction == tools::LineDirection::Device) replyDue_.reset();
            guarded([&] { decoder_.feed(c.direction, c.bytes, c.timeUs); });
            lastByteUs_[c.direction == tools::LineDirection::Host ? 0 : 1] = c.timeUs;
        }
    }

    void tick(std::int64_t nowUs) {
        const tools::LineDirection dirs[2] = {tools::LineDirection::Host, tools::LineDirection::Device};
        for (int i = 0; i < 2; ++i) {
            if (decoder_.pending(dirs[i]) && nowUs - lastByteUs_[i] >= o_.gapMs * 1000LL) {
                guarded([&] { decoder_.gap(dirs[i]); });
            }
        }
        if (replyDue_ && nowUs > *replyDue_) {
            const std::int64_t sentAt = *replyDue_ - o_.timeoutMs * 1000LL;
            ++repliesMissing_;
            annotate("reply missing: nothing came back within " + std::to_string(o_.timeoutMs) +
                         " ms of the command sent at " + tools::clockText(sentAt),
                     *replyDue_);
            replyDue_.reset();
        }
    }

    // A line about the tap, on the screen and in both logs.
    void annotate(const std::string& text, std::int64_t timeUs) {
        report_.message(text, timeUs);
        if (raw_ != nullptr) writeRaw("# " + tools::clockText(timeUs) + " " + text);
        if (pcap_ != nullptr) guarded([&] { pcap_->writeNote(text, timeUs); });
    }

    // Decides what still waits, closes the raw log and prints the summary.
    void finish() {
        if (failure_.empty()) guarded([&] { decoder_.finish(); });
        if (undecoded_ != 0) {
            report_.message(plural(undecoded_, "byte", "bytes") + " that came after the stop were not decoded" +
                            (raw_ != nullptr ? " (they are in " + o_.raw + ")" : std::string()));
        }
        if (raw_ != nullptr) {
            if (std::fclose(raw_) != 0 && failure_.empty()) failure_ = "cannot write " + o_.raw + ": " + systemReason();
            raw_ = nullptr;
        }
        printSummary();
    }

    // Why the monitor has to end: a log that cannot be written.
    const std::string& failure() const { return failure_; }

private:
    template <typename F>
    void guarded(F&& f) {
        if (!failure_.empty()) return;
        try {
            f();
        } catch (const std::runtime_error& e) {
            failure_ = e.what();
        }
    }

    void writeRaw(const std::string& line) {
        if (!failure_.empty()) return;
        if (std::fputs(line.c_str(), raw_) < 0 || std::fputc('\n', raw_) == EOF || std::fflush(raw_) != 0) {
            failure_ = "cannot write " + o_.raw + ": " + systemReason();
        }
    }

    // True once the stop came longer than kDecodeAfterStop ago.
    bool hurried() {
        if (g_stop == 0) return false;
        const auto now = std::chrono::steady_clock::now();
        if (!stopSeen_) stopSeen_ = now;
        return now - *stopSeen_ > kDecodeAfterStop;
    }

    void count(const tools::FoundFrame& f) {
        DirectionTally& t = tally_[f.direction == tools::LineDirection::Device ? 1 : 0];
        switch (f.kind) {
            case tools::FoundFrame::Kind::Command: ++t.commands; break;
            case tools::FoundFrame::Kind::Reply: ++t.replies; break;
            case tools::FoundFrame::Kind::Cut: ++t.cut; break;
            case tools::FoundFrame::Kind::Bad: ++t.bad; break;
            case tools::FoundFrame::Kind::Noise: t.noiseBytes += f.bytes.size(); break;
        }
        const bool whole = f.kind == tools::FoundFrame::Kind::Command || f.kind == tools::FoundFrame::Kind::Reply;
        if (whole && !f.checksumOk()) ++checksumErrors_;
        if (f.kind == tools::FoundFrame::Kind::Command && f.timeUs) replyDue_ = *f.timeUs + o_.timeoutMs * 1000LL;
    }

    void printSummary() {
        if (o_.json) {
            nlohmann::json s{{"host", tallyJson(tally_[0])},
                             {"device", tallyJson(tally_[1])},
                             {"replies_missing", repliesMissing_},
                             {"checksum_errors", checksumErrors_},
                             {"undecoded_bytes", undecoded_}};
            std::cout << nlohmann::json{{"summary", s}}.dump() << "\n";
        } else {
            std::cout << "summary  from the application " << tallyText(tally_[0]) << "; from the device "
                      << tallyText(tally_[1]) << "; " << plural(repliesMissing_, "reply", "replies") << " missing, "
                      << plural(checksumErrors_, "checksum error", "checksum errors") << "\n";
        }
        std::cout.flush();
    }

    const MonitorOptions& o_;
    tools::PcapWriter* pcap_;
    FrameReport report_;
    LineDecoder decoder_;
    std::FILE* raw_ = nullptr;
    std::string failure_;
    std::optional<std::int64_t> replyDue_;
    std::int64_t lastByteUs_[2] = {0, 0};
    std::optional<std::chrono::steady_clock::time_point> stopSeen_;
    DirectionTally tally_[2];
    std::uint64_t repliesMissing_ = 0;
    std::uint64_t checksumErrors_ = 0;
    std::uint64_t undecoded_ = 0;
};

// Forwards until a stop, a log failure or a port failure; with --reopen a
// device side that is lost is waited for and the tap goes on when it is
// back. The exit status.
int forward(const MonitorOptions& o, Ends& ends, std::unique_ptr<LineTap>& tap, Monitor& monitor) {
    while (g_stop == 0 && monitor.failure().empty()) {
        monitor.take(tap->take(kTakeMs));
        monitor.tick(wallClockUs());
        if (!tap->failed()) continue;
        monitor.take(tap->take(0));
        if (!o.reopen || !tap->deviceFailed()) return kExitPort;
        // The application keeps its end; what it sends meanwhile is shown
        // and dropped.
        const tools::LineSettings line = tap->deviceLine();
        tap.reset();
        ends.device.reset();
        tap = std::make_unique<LineTap>(ends.appFd(), -1, o.pty, line);
        monitor.annotate("device side lost: waiting for " + ends.deviceName + " to come back", wallClockUs());
        auto nextTry = std::chrono::steady_clock::now();
        while (g_stop == 0 && monitor.failure().empty() && !ends.device) {
            monitor.take(tap->take(kTakeMs));
            monitor.tick(wallClockUs());
            if (tap->failed()) return kExitPort;
            if (std::chrono::steady_clock::now() < nextTry) continue;
            nextTry += std::chrono::milliseconds(kReopenPollMs);
            try {
                ends.device = tools::SerialPort::open(ends.deviceName, tap->deviceLine(), !o.shared);
            } catch (const tools::PortError&) {
                continue;
            }
            tap->stop();
            monitor.take(tap->take(0));
            const tools::LineSettings now = tap->deviceLine();
            tap = std::make_unique<LineTap>(ends.appFd(), ends.device->fd(), o.pty, now);
            monitor.annotate("device side reopened: " + ends.deviceName + ", " + tools::describeLine(now),
                             wallClockUs());
        }
    }
    return monitor.failure().empty() ? kExitOk : kExitFailed;
}

}  // namespace

void addMonitorOptions(CLI::App& m, MonitorOptions& o) {
    m.add_option("--device", o.device, "the device's serial port");
    m.add_flag("--pty", o.pty, "create a pseudo-terminal for the application (its path is printed; see --link)");
    m.add_option("--between", o.between, "forward between two ports: the application's side, then the device's")
        ->expected(2);
    m.add_option("--link", o.link,
                 "with --pty: also make this symlink to the pseudo-terminal (never replaces anything "
                 "but a symbolic link)");
    tools::addLineOptions(m, o.line, " of the ports");
    m.add_option("--timeout", o.timeoutMs, "ms after a command without an answer before the reply is reported missing")
        ->transform(numberUpTo(600000))
        ->capture_default_str();
    m.add_option("--gap", o.gapMs, "ms of quiet that end a frame still waiting for bytes")
        ->transform(numberUpTo(60000))
        ->capture_default_str();
    addModelOption(m, o.model, ": show valid replies normalized and parsed as kavrol query does");
    m.add_flag("--json", o.json, "one JSON object per frame");
    m.add_option("--raw", o.raw, "keep a hex log of everything on the line (kavrol decode --file reads it)");
    m.add_option("--pcap", o.pcap, "write the frames to this pcap file (open it with tools/wireshark/kavrol.lua)");
    m.add_flag("--shared", o.shared, "do not lock the ports for exclusive use");
    m.add_flag("--reopen", o.reopen, "when the device side is lost, wait until it is back and go on");
}

void checkMonitorOptions(const MonitorOptions& o) {
    const bool tap = o.pty && !o.device.empty();
    const bool between = !o.between.empty();
    if (tap == between) throw UsageError("give --device PATH --pty, or --between A B");
    if (between && (o.pty || !o.device.empty())) throw UsageError("--between takes no --device or --pty");
    if (!o.link.empty() && !o.pty) throw UsageError("--link needs --pty");
}

int runMonitor(const MonitorOptions& o) {
    Ends ends;
    try {
        ends = openEnds(o);
    } catch (const std::exception& e) {
        std::cerr << "kavrol monitor: " << e.what() << "\n";
        return kExitPort;
    }
    std::unique_ptr<tools::PcapWriter> pcap;
    std::unique_ptr<Monitor> monitor;
    try {
        if (!o.pcap.empty()) pcap = std::make_unique<tools::PcapWriter>(o.pcap);
        monitor = std::make_unique<Monitor>(o, pcap.get());
    } catch (const std::runtime_error& e) {
        std::cerr << "kavrol monitor: " << e.what() << "\n";
        return kExitFailed;
    }

    std::signal(SIGINT, onMonitorStopSignal);
    std::signal(SIGTERM, onMonitorStopSignal);
    // The tap takes its first look at the application's settings before
    // anyone can find the pty, so that every change the application makes
    // is followed.
    auto tap = std::make_unique<LineTap>(ends.appFd(), ends.device->fd(), o.pty, o.line);
    std::unique_ptr<tools::LinkFile> link;
    try {
        if (!o.link.empty()) link = std::make_unique<tools::LinkFile>(o.link, ends.appName);
    } catch (const tools::LinkFileError& e) {
        std::cerr << "kavrol monitor: " << e.what() << "\n";
        return kExitUsage;
    }
    // The one line a script waits for: the path the application opens.
    if (o.pty) {
        const std::string path = link ? o.link : ends.appName;
        if (o.json) {
            std::cout << nlohmann::json{{"application_side", path}, {"pty", ends.appName}}.dump() << std::endl;
        } else {
            std::cout << path << std::endl;
        }
    }
    std::cerr << "kavrol monitor: application side " << ends.appName << (o.link.empty() ? "" : " (" + o.link + ")")
              << ", device side " << ends.deviceName << ", " << tools::describeLine(o.line) << "\n";

    int rc = forward(o, ends, tap, *monitor);
    tap->stop();
    monitor->take(tap->take(0));
    monitor->finish();
    if (!monitor->failure().empty()) {
        std::cerr << "kavrol monitor: " << monitor->failure() << "\n";
        rc = kExitFailed;
    }
    return rc;
}

}  // namespace kavrol::cli
