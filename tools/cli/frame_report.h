// How the decoder and the monitor show the frames they find: a header line
// (time, gap since the previous frame, kind, bytes) and the decoded fields,
// or one JSON object per frame. With a model code, valid replies are run
// through the library's normalization and record stage and shown as
// `kavrol query` shows them.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>

#include <nlohmann/json_fwd.hpp>

#include "cli/capture/tap_finder.h"
#include "cli/transaction.h"

namespace kavrol::cli {

// The library's view of a reply frame r[0..L]: status, and for status 1 the
// normalized buffer, the record and the positions the layout wrote.
Outcome replayReply(std::uint32_t model, const Bytes& frame);

class FrameReport {
public:
    FrameReport(std::ostream& os, bool json, std::optional<std::uint32_t> model)
        : os_(os), json_(json), model_(model) {}

    void print(const tools::FoundFrame& f);
    // A line about the input or the line itself ("line 3: ...", "reply missing").
    void message(const std::string& text, std::optional<std::int64_t> timeUs = std::nullopt);

private:
    std::optional<double> gapMs(const std::optional<std::int64_t>& timeUs);
    void printText(const tools::FoundFrame& f, std::optional<double> gap);
    nlohmann::json frameJson(const tools::FoundFrame& f, std::optional<double> gap) const;

    std::ostream& os_;
    bool json_;
    std::optional<std::uint32_t> model_;
    std::optional<std::int64_t> lastTimeUs_;
};

}  // namespace kavrol::cli
