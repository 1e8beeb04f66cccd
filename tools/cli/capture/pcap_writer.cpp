#include "cli/capture/pcap_writer.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kavrol::tools {

namespace {

void putLe(Bytes& out, std::uint32_t v, unsigned width) {
    for (unsigned i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint8_t directionCode(LineDirection d) {
    switch (d) {
        case LineDirection::Host: return 1;
        case LineDirection::Device: return 2;
        default: return 0;
    }
}

std::uint8_t kindCode(FoundFrame::Kind k) {
    switch (k) {
        case FoundFrame::Kind::Command: return 1;
        case FoundFrame::Kind::Reply: return 2;
        case FoundFrame::Kind::Cut: return 3;
        case FoundFrame::Kind::Bad: return 5;
        default: return 4;
    }
}

}  // namespace

Bytes pcapPacket(const FoundFrame& f) {
    const bool envelope = f.multiplexed();
    Bytes p{1, directionCode(f.direction), kindCode(f.kind), static_cast<std::uint8_t>(envelope ? 1 : 0)};
    p.insert(p.end(), f.bytes.begin(), f.bytes.end());
    return p;
}

PcapWriter::PcapWriter(const std::string& path) : path_(path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) throw PcapCreateError("cannot create " + path + ": " + std::strerror(errno));
    Bytes header;
    putLe(header, 0xA1B2C3D4U, 4);  // microsecond timestamps
    putLe(header, 2, 2);            // version 2.4
    putLe(header, 4, 2);
    putLe(header, 0, 4);      // UTC
    putLe(header, 0, 4);      // timestamp accuracy
    putLe(header, 65535, 4);  // snapshot length
    putLe(header, kPcapLinkTypeUser0, 4);
    put(header);
}

PcapWriter::~PcapWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

void PcapWriter::write(const FoundFrame& f, std::int64_t timeUs) { writePacket(pcapPacket(f), timeUs); }

void PcapWriter::writeNote(const std::string& text, std::int64_t timeUs) {
    Bytes body{1, 0, kPcapAnnotation, 0};
    body.insert(body.end(), text.begin(), text.end());
    writePacket(body, timeUs);
}

void PcapWriter::writePacket(const Bytes& body, std::int64_t timeUs) {
    Bytes record;
    const std::int64_t t = timeUs < 0 ? 0 : timeUs;
    putLe(record, static_cast<std::uint32_t>(t / 1000000), 4);
    putLe(record, static_cast<std::uint32_t>(t % 1000000), 4);
    putLe(record, static_cast<std::uint32_t>(body.size()), 4);
    putLe(record, static_cast<std::uint32_t>(body.size()), 4);
    record.insert(record.end(), body.begin(), body.end());
    put(record);
}

void PcapWriter::put(std::span<const std::uint8_t> bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() || std::fflush(file_) != 0) {
        throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
    }
}

}  // namespace kavrol::tools
