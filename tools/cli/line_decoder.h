// Turns the bytes of a line into reported frames: one frame finder per
// direction, every frame printed and, when a capture is open, written to it.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <span>

#include "cli/capture/pcap_writer.h"
#include "cli/capture/tap_finder.h"
#include "cli/frame_report.h"

namespace kavrol::cli {

class LineDecoder {
public:
    LineDecoder(FrameReport& report, tools::PcapWriter* pcap) : report_(report), pcap_(pcap) {}

    // Called for every frame after it has been reported.
    std::function<void(const tools::FoundFrame&)> onFrame;

    void feed(tools::LineDirection d, std::span<const std::uint8_t> bytes, std::optional<std::int64_t> timeUs);
    // Decides what waits in one direction: the line has been quiet there.
    void gap(tools::LineDirection d);
    // True while bytes of that direction wait for a decision.
    bool pending(tools::LineDirection d) const { return finder(d).pending(); }
    void finish();

private:
    tools::TapFinder& finder(tools::LineDirection d) { return finders_[static_cast<std::size_t>(d)]; }
    const tools::TapFinder& finder(tools::LineDirection d) const { return finders_[static_cast<std::size_t>(d)]; }
    void drain(tools::LineDirection d, bool gapExpired);

    FrameReport& report_;
    tools::PcapWriter* pcap_;
    std::array<tools::TapFinder, 3> finders_{tools::TapFinder(tools::LineDirection::Unknown),
                                             tools::TapFinder(tools::LineDirection::Host),
                                             tools::TapFinder(tools::LineDirection::Device)};
    std::int64_t packets_ = 0;
};

}  // namespace kavrol::cli
