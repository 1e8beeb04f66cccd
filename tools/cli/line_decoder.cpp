#include "cli/line_decoder.h"

#include <algorithm>

namespace kavrol::cli {

void LineDecoder::feed(tools::LineDirection d, std::span<const std::uint8_t> bytes,
                       std::optional<std::int64_t> timeUs) {
    // In slices of at most a long frame, each drained before the next: the
    // finder then holds a bounded number of bytes however much comes at once.
    constexpr std::size_t kSlice = 256;
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), kSlice);
        finder(d).feed(bytes.first(n), timeUs);
        drain(d, false);
        bytes = bytes.subspan(n);
    }
}

void LineDecoder::gap(tools::LineDirection d) { drain(d, true); }

void LineDecoder::finish() {
    for (auto d : {tools::LineDirection::Unknown, tools::LineDirection::Host, tools::LineDirection::Device}) gap(d);
}

void LineDecoder::drain(tools::LineDirection d, bool gapExpired) {
    while (auto f = finder(d).next(gapExpired)) {
        report_.print(*f);
        // Without timestamps the packets are a millisecond apart, in order.
        if (pcap_ != nullptr) pcap_->write(*f, f->timeUs.value_or(packets_ * 1000));
        ++packets_;
        if (onFrame) onFrame(*f);
    }
}

}  // namespace kavrol::cli
