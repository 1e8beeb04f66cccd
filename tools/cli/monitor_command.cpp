#include "cli/monitor_command.h"

#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>

#include <unistd.h>

#include "cli/line_decoder.h"
#include "cli/line_tap.h"
#include "cli/options.h"
#include "common/line_options.h"
#include "common/pty_device.h"

namespace kavrol::cli {

namespace {

volatile std::sig_atomic_t g_stop = 0;
extern "C" void onMonitorStopSignal(int) { g_stop = 1; }

constexpr int kTakeMs = 10;  // how often gaps and missing replies are looked at

// The application's end and the device's end of the tap.
struct Ends {
    std::unique_ptr<tools::PtyDevice> pty;
    std::unique_ptr<tools::SerialPort> app;
    std::unique_ptr<tools::SerialPort> device;
    int appFd() const { return pty ? pty->deviceFd() : app->fd(); }
    std::string appName;
    std::string deviceName;
};

Ends openEnds(const MonitorOptions& o) {
    Ends e;
    if (o.pty) {
        e.pty = std::make_unique<tools::PtyDevice>();
        e.device = tools::SerialPort::open(o.device, o.line);
        e.appName = e.pty->clientPath();
        e.deviceName = o.device;
    } else {
        e.app = tools::SerialPort::open(o.between[0], o.line);
        e.device = tools::SerialPort::open(o.between[1], o.line);
        e.appName = o.between[0];
        e.deviceName = o.between[1];
    }
    return e;
}

// Keeps the symlink the application opens for as long as the tap runs.
class LinkFile {
public:
    LinkFile(const std::string& link, const std::string& target) : link_(link) {
        if (link_.empty()) return;
        ::unlink(link_.c_str());
        if (::symlink(target.c_str(), link_.c_str()) != 0) throw tools::PortError("cannot create the link " + link_);
    }
    ~LinkFile() {
        if (!link_.empty()) ::unlink(link_.c_str());
    }
    LinkFile(const LinkFile&) = delete;
    LinkFile& operator=(const LinkFile&) = delete;

private:
    std::string link_;
};

class Monitor {
public:
    Monitor(const MonitorOptions& o, tools::PcapWriter* pcap)
        : o_(o), report_(std::cout, o.json, o.model), decoder_(report_, pcap) {
        if (!o.raw.empty()) {
            raw_.open(o.raw, std::ios::trunc);
            if (!raw_) throw tools::PortError("cannot create " + o.raw);
        }
        decoder_.onFrame = [this](const tools::FoundFrame& f) {
            if (f.kind == tools::FoundFrame::Kind::Command && f.timeUs) replyDue_ = *f.timeUs + o_.timeoutMs * 1000LL;
        };
    }

    void take(const std::vector<TapChunk>& chunks) {
        for (const TapChunk& c : chunks) {
            if (!c.note.empty()) {
                report_.message(c.note, c.timeUs);
                continue;
            }
            if (raw_.is_open()) raw_ << tools::rawLogLine(c.timeUs, c.direction, c.bytes) << std::endl;
            // Any answer from the device counts: a damaged reply is shown as such.
            if (c.direction == tools::LineDirection::Device) replyDue_.reset();
            decoder_.feed(c.direction, c.bytes, c.timeUs);
            lastByteUs_[c.direction == tools::LineDirection::Host ? 0 : 1] = c.timeUs;
        }
    }

    void tick(std::int64_t nowUs) {
        const tools::LineDirection dirs[2] = {tools::LineDirection::Host, tools::LineDirection::Device};
        for (int i = 0; i < 2; ++i) {
            if (decoder_.pending(dirs[i]) && nowUs - lastByteUs_[i] >= o_.gapMs * 1000LL) decoder_.gap(dirs[i]);
        }
        if (replyDue_ && nowUs > *replyDue_) {
            const std::int64_t sentAt = *replyDue_ - o_.timeoutMs * 1000LL;
            report_.message("reply missing: nothing came back within " + std::to_string(o_.timeoutMs) +
                                " ms of the command sent at " + tools::clockText(sentAt),
                            *replyDue_);
            replyDue_.reset();
        }
    }

    void finish() { decoder_.finish(); }

private:
    const MonitorOptions& o_;
    FrameReport report_;
    LineDecoder decoder_;
    std::ofstream raw_;
    std::optional<std::int64_t> replyDue_;
    std::int64_t lastByteUs_[2] = {0, 0};
};

}  // namespace

void addMonitorOptions(CLI::App& m, MonitorOptions& o) {
    m.add_option("--device", o.device, "the device's serial port");
    m.add_flag("--pty", o.pty, "create a pseudo-terminal for the application (its path is printed; see --link)");
    m.add_option("--between", o.between, "forward between two ports: the application's side, then the device's")
        ->expected(2);
    m.add_option("--link", o.link, "with --pty: also make this symlink to the pseudo-terminal");
    tools::addLineOptions(m, o.line, " of the ports");
    m.add_option("--timeout", o.timeoutMs, "ms after a command without an answer before the reply is reported missing")
        ->transform(numberUpTo(600000))->capture_default_str();
    m.add_option("--gap", o.gapMs, "ms of quiet that end a frame still waiting for bytes")
        ->transform(numberUpTo(60000))->capture_default_str();
    addModelOption(m, o.model, ": show valid replies normalized and parsed as kavrol query does");
    m.add_flag("--json", o.json, "one JSON object per frame");
    m.add_option("--raw", o.raw, "keep a hex log of everything on the line (kavrol decode --file reads it)");
    m.add_option("--pcap", o.pcap, "write the frames to this pcap file (open it with tools/wireshark/kavrol.lua)");
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
    if (!o.pcap.empty()) pcap = std::make_unique<tools::PcapWriter>(o.pcap);
    Monitor monitor(o, pcap.get());

    std::signal(SIGINT, onMonitorStopSignal);
    std::signal(SIGTERM, onMonitorStopSignal);
    // The tap takes its first look at the application's settings before
    // anyone can find the pty, so that every change the application makes
    // is followed.
    LineTap tap(ends.appFd(), ends.device->fd(), o.pty);
    const LinkFile link(o.link, ends.appName);
    std::cerr << "kavrol monitor: application side " << ends.appName << (o.link.empty() ? "" : " (" + o.link + ")")
              << ", device side " << ends.deviceName << ", " << tools::describeLine(o.line) << "\n";

    while (g_stop == 0 && !tap.failed()) {
        monitor.take(tap.take(kTakeMs));
        monitor.tick(wallClockUs());
    }
    tap.stop();
    monitor.take(tap.take(0));
    monitor.finish();
    return tap.failed() ? kExitPort : kExitOk;
}

}  // namespace kavrol::cli
