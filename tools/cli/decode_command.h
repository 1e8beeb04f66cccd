// kavrol decode: the frames in hex bytes captured from a line.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace kavrol::cli {

struct DecodeOptions {
    std::vector<std::string> hex;  // bytes on the command line, one line
    std::string file;              // "-" or empty: standard input (when no bytes are given)
    std::optional<std::uint32_t> model;
    bool json = false;
    std::string pcap;
};

void addDecodeOptions(CLI::App& decode, DecodeOptions& o);

// Decodes the hex text of `in` as it arrives and prints each frame to out
// once it is decided; problems with the input are reported in line with the
// frames. Memory stays bounded whatever the input's length. Returns the exit
// status of the client.
// Problems reading name the input as inputName.
int decodeStream(const DecodeOptions& o, std::istream& in, std::ostream& out, const std::string& inputName);

int runDecode(const DecodeOptions& o);

}  // namespace kavrol::cli
