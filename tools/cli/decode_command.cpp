#include "cli/decode_command.h"

#include <cerrno>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "cli/capture/hex_log.h"
#include "cli/line_decoder.h"
#include "cli/options.h"

#include <sys/stat.h>

namespace kavrol::cli {

namespace {

bool damaged(const tools::FoundFrame& f) {
    using Kind = tools::FoundFrame::Kind;
    return f.kind == Kind::Noise || f.kind == Kind::Cut || f.kind == Kind::Bad || !f.checksumOk();
}

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == ',' || c == ';'; }

// Reads hex text line by line in pieces of bounded size, so that neither a
// long line nor an endless input is held whole. A line longer than a piece
// is cut after its last separator; its later pieces carry the line's time
// and direction.
class HexLineReader {
public:
    explicit HexLineReader(std::istream& in) : in_(in) {}

    // The next chunk of bytes, or nullopt at the end of the input.
    std::optional<tools::HexChunk> next() {
        for (;;) {
            if (!readPiece()) return std::nullopt;
            if (auto chunk = parsePiece()) return chunk;
        }
    }

private:
    static constexpr std::size_t kPieceSize = 4096;

    bool readPiece() {
        if (lineEnded_) {
            ++line_;
            continuing_ = false;
            inComment_ = false;
        }
        char piece[kPieceSize];
        in_.getline(piece, sizeof piece);
        const auto stored = std::char_traits<char>::length(piece);
        // The piece filled up before a newline: the line goes on.
        const bool full = in_.fail() && !in_.eof() && stored == sizeof piece - 1;
        if (in_.fail() && !full && stored == 0 && carry_.empty()) return false;
        if (full) in_.clear();
        lineEnded_ = !full;
        text_ = std::move(carry_);
        carry_.clear();
        text_.append(piece, stored);
        if (!lineEnded_) {
            // Keep a token cut by the piece's end for the next piece (unless
            // a single token runs over a whole piece: it is no hex byte anyway).
            std::size_t cut = text_.size();
            while (cut > 0 && !isSeparator(text_[cut - 1])) --cut;
            if (cut > 0) {
                carry_ = text_.substr(cut);
                text_.resize(cut);
            }
        }
        return true;
    }

    std::optional<tools::HexChunk> parsePiece() {
        if (inComment_) return std::nullopt;
        if (text_.find('#') != std::string::npos) inComment_ = true;  // the rest of the line is comment
        auto chunk = continuing_ ? tools::parseHexLine(text_, line_, false) : parser_.parse(text_, line_);
        if (!chunk) return std::nullopt;
        if (continuing_) {
            chunk->timeUs = timeUs_;
            chunk->direction = direction_;
            chunk->side = side_;
        } else {
            timeUs_ = chunk->timeUs;
            direction_ = chunk->direction;
            side_ = chunk->side;
            continuing_ = true;
        }
        return chunk;
    }

    std::istream& in_;
    tools::HexLogParser parser_;
    std::string text_;
    std::string carry_;
    unsigned line_ = 0;
    bool lineEnded_ = true;
    bool continuing_ = false;
    bool inComment_ = false;
    std::optional<std::int64_t> timeUs_;
    tools::LineDirection direction_ = tools::LineDirection::Unknown;
    char side_ = 0;
};

}  // namespace

void addDecodeOptions(CLI::App& d, DecodeOptions& o) {
    d.add_option("bytes", o.hex, "hex bytes, e.g. 09 03 00 1B 5D 34 12 56 00 (default: read --file or standard input)");
    d.add_option("--file", o.file, "read hex lines from this file ('-': standard input)");
    addModelOption(d, o.model, ": show valid replies normalized and parsed as kavrol query does");
    d.add_flag("--json", o.json, "one JSON object per frame");
    d.add_option("--pcap", o.pcap, "also write the frames to this pcap file (open it with tools/wireshark/kavrol.lua)");
}

int decodeStream(const DecodeOptions& o, std::istream& in, std::ostream& out, const std::string& inputName) {
    std::unique_ptr<tools::PcapWriter> pcap;
    if (!o.pcap.empty()) {
        try {
            pcap = std::make_unique<tools::PcapWriter>(o.pcap);
        } catch (const tools::PcapCreateError& e) {
            std::cerr << "kavrol decode: --pcap: " << e.what() << "\n";
            return kExitUsage;
        } catch (const std::runtime_error& e) {
            std::cerr << "kavrol decode: --pcap: " << e.what() << "\n";
            return kExitFailed;
        }
    }
    FrameReport report(out, o.json, o.model);
    LineDecoder decoder(report, pcap.get());
    bool clean = true;
    std::size_t frames = 0;
    decoder.onFrame = [&](const tools::FoundFrame& f) {
        ++frames;
        clean = clean && !damaged(f);
    };
    // A write that fails (a full disk) ends the run: decoding on into
    // nothing would hide it.
    const auto writeFailed = [&] {
        const int error = errno;
        out.clear();
        std::cerr << "kavrol decode: " << fileProblem("write", "standard output", error) << "\n";
        return kExitFailed;
    };
    const auto readFailed = [&](int error) {
        out.flush();
        std::cerr << "kavrol decode: " << fileProblem("read", inputName, error) << "\n";
        return kExitFailed;
    };
    // Decodes the whole input; an exit status when it had to stop early.
    const auto decodeAll = [&]() -> std::optional<int> {
        std::optional<std::pair<tools::LineDirection, char>> previous;
        HexLineReader reader(in);
        while (auto chunk = reader.next()) {
            for (const std::string& p : chunk->problems) report.message(p, chunk->timeUs);
            clean = clean && chunk->problems.empty();
            // The other side speaking ends what this side was sending.
            const std::pair speaker{chunk->direction, chunk->side};
            if (previous && *previous != speaker) decoder.gap(previous->first);
            previous = speaker;
            decoder.feed(chunk->direction, chunk->bytes, chunk->timeUs);
            if (!out) return writeFailed();
        }
        if (in.bad()) return readFailed(errno);
        decoder.finish();
        return std::nullopt;
    };
    try {
        if (const auto stop = decodeAll()) return *stop;
    } catch (const std::ios_base::failure& e) {
        return readFailed(e.code().value() == static_cast<int>(std::io_errc::stream) ? errno : e.code().value());
    } catch (const std::runtime_error& e) {  // the capture file could not be written
        std::cerr << "kavrol decode: --pcap: " << e.what() << "\n";
        return kExitFailed;
    }
    if (frames == 0) report.message("no bytes to decode");
    if (!out.flush()) return writeFailed();
    return clean && frames > 0 ? kExitOk : kExitFailed;
}

int runDecode(const DecodeOptions& o) {
    if (!o.hex.empty()) {
        if (!o.file.empty()) {
            std::cerr << "kavrol decode: give bytes or --file, not both\n";
            return kExitUsage;
        }
        std::string text;
        for (const std::string& h : o.hex) text += h + " ";
        std::istringstream in(text);
        return decodeStream(o, in, std::cout, "the arguments");
    }
    if (o.file.empty() || o.file == "-") return decodeStream(o, std::cin, std::cout, "standard input");
    // A directory opens, then fails at the first read: refuse it first.
    struct stat st {};
    const int statError = ::stat(o.file.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    std::ifstream in;
    if (statError == 0) in.open(o.file, std::ios::binary);
    if (statError != 0 || !in) {
        std::cerr << "kavrol decode: --file: " << fileProblem("read", o.file, statError != 0 ? statError : errno)
                  << "\n";
        return kExitUsage;
    }
    return decodeStream(o, in, std::cout, o.file);
}

}  // namespace kavrol::cli
