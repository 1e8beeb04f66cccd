#include "cli/decode_command.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "cli/line_decoder.h"
#include "cli/options.h"
#include "common/hex_log.h"

namespace kavrol::cli {

namespace {

bool damaged(const tools::FoundFrame& f) {
    return f.kind == tools::FoundFrame::Kind::Noise || f.kind == tools::FoundFrame::Kind::Cut || !f.checksumOk();
}

std::string readAll(std::istream& in) { return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}; }

}  // namespace

void addDecodeOptions(CLI::App& d, DecodeOptions& o) {
    d.add_option("bytes", o.hex, "hex bytes, e.g. 09 03 00 1B 5D 34 12 56 00 (default: read --file or standard input)");
    d.add_option("--file", o.file, "read hex lines from this file ('-': standard input)");
    d.add_option("--model", o.model, "model code: show valid replies normalized and parsed as kavrol query does")
        ->transform(numberUpTo(0xFFFFFFFFULL));
    d.add_flag("--json", o.json, "one JSON object per frame");
    d.add_option("--pcap", o.pcap, "also write the frames to this pcap file (open it with tools/wireshark/kavrol.lua)");
}

int decodeText(const DecodeOptions& o, const std::string& text, std::ostream& out) {
    std::unique_ptr<tools::PcapWriter> pcap;
    if (!o.pcap.empty()) pcap = std::make_unique<tools::PcapWriter>(o.pcap);
    FrameReport report(out, o.json, o.model);
    LineDecoder decoder(report, pcap.get());
    bool clean = true;
    std::size_t frames = 0;
    decoder.onFrame = [&](const tools::FoundFrame& f) {
        ++frames;
        clean = clean && !damaged(f);
    };
    std::optional<tools::LineDirection> previous;
    for (const tools::HexChunk& chunk : tools::parseHexText(text)) {
        for (const std::string& p : chunk.problems) report.message(p, chunk.timeUs);
        clean = clean && chunk.problems.empty();
        // The other side speaking ends what this side was sending.
        if (previous && *previous != chunk.direction) decoder.gap(*previous);
        previous = chunk.direction;
        decoder.feed(chunk.direction, chunk.bytes, chunk.timeUs);
    }
    decoder.finish();
    if (frames == 0) report.message("no bytes to decode");
    return clean && frames > 0 ? kExitOk : kExitFailed;
}

int runDecode(const DecodeOptions& o) {
    std::string text;
    if (!o.hex.empty()) {
        if (!o.file.empty()) {
            std::cerr << "kavrol decode: give bytes or --file, not both\n";
            return kExitUsage;
        }
        for (const std::string& h : o.hex) text += h + " ";
    } else if (o.file.empty() || o.file == "-") {
        text = readAll(std::cin);
    } else {
        std::ifstream in(o.file, std::ios::binary);
        if (!in) {
            std::cerr << "kavrol decode: cannot read " << o.file << "\n";
            return kExitUsage;
        }
        text = readAll(in);
    }
    return decodeText(o, text, std::cout);
}

}  // namespace kavrol::cli
