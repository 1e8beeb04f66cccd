#include "protocol/command_decoding.h"

#include <algorithm>
#include <array>

#include "protocol/frame.h"

namespace kavrol::protocol {

namespace {

// The fields and the checksum of a direct-style frame f (start byte
// included, f[1] + 1 == f.size()).
void readInner(std::span<const std::uint8_t> f, CommandDecoding& d) {
    d.fields.command = f[2];
    d.fields.subCommand = f[3];
    d.fields.payload = f.subspan(kInnerHeaderSize);
    d.received = {f[kTwoByteOddAt], f[kTwoByteEvenAt]};
    d.computed = twoByteChecksum(f);
    if (d.fault == CommandFault::None && (d.received.odd != d.computed.odd || d.received.even != d.computed.even)) {
        d.fault = CommandFault::ChecksumMismatch;
    }
}

void decodeDirect(std::span<const std::uint8_t> bytes, CommandDecoding& d) {
    if (bytes.empty()) return;  // Cut
    d.last = bytes[0];
    if (d.last < kMinFrameIndex || d.last > kMaxCommandIndex) {
        d.fault = CommandFault::LengthOutOfRange;
        return;
    }
    d.length = d.last;                    // L + 1 bytes less the start byte that is not sent
    if (bytes.size() < d.length) return;  // Cut
    // The checksum counts the start byte: put it back in a fixed area.
    std::array<std::uint8_t, kCommandAreaSize> f{};
    f[0] = kDirectStart;
    std::copy_n(bytes.begin(), d.length, f.begin() + 1);
    d.fault = CommandFault::None;
    readInner(std::span<const std::uint8_t>(f).first(d.length + 1), d);
    // The payload points into the caller's bytes, not the local copy.
    d.fields.payload = bytes.subspan(kInnerHeaderSize - 1, d.length + 1 - kInnerHeaderSize);
}

void decodeEnvelope(std::span<const std::uint8_t> bytes, CommandDecoding& d) {
    d.fields.multiplexed = true;
    if (bytes.empty()) return;  // Cut
    if (bytes[0] != kEnvelopeStart) {
        d.fault = CommandFault::NotThisForm;
        return;
    }
    if (bytes.size() < kReplyHeaderSize) return;  // Cut: L not there yet
    d.last = bytes[1];
    if (d.last < kMinEnvelopeIndex || d.last > kMaxCommandIndex) {
        d.fault = CommandFault::LengthOutOfRange;
        return;
    }
    d.length = d.last + 1U;
    if (bytes.size() < d.length) return;  // Cut
    const auto f = bytes.first(d.length);
    const unsigned n = f[3];
    if (n > kMaxRoute || kEnvelopeHeaderSize + n + kMinFrameIndex > d.last) {
        d.fault = CommandFault::RouteOutOfRange;
        return;
    }
    const auto inner = f.subspan(kEnvelopeHeaderSize + n);
    if (inner[0] != kDirectStart) {
        d.fault = CommandFault::InnerStartWrong;
        return;
    }
    if (inner[1] + 1U != inner.size()) {
        d.fault = CommandFault::InnerLengthWrong;
        return;
    }
    d.fields.route = f.subspan(kEnvelopeHeaderSize, n);
    d.envelopeReceived = f[kOneByteAt];
    d.envelopeComputed = oneByteChecksum(f);
    d.fault = d.envelopeReceived == d.envelopeComputed ? CommandFault::None : CommandFault::EnvelopeChecksumMismatch;
    readInner(inner, d);
}

}  // namespace

const char* commandFaultName(CommandFault f) {
    switch (f) {
        case CommandFault::None: return "none";
        case CommandFault::NotThisForm: return "not-this-form";
        case CommandFault::LengthOutOfRange: return "length-out-of-range";
        case CommandFault::Cut: return "cut";
        case CommandFault::RouteOutOfRange: return "route-out-of-range";
        case CommandFault::InnerStartWrong: return "inner-start-wrong";
        case CommandFault::InnerLengthWrong: return "inner-length-wrong";
        case CommandFault::EnvelopeChecksumMismatch: return "envelope-checksum-mismatch";
        case CommandFault::ChecksumMismatch: return "checksum-mismatch";
    }
    return "unknown";
}

CommandDecoding decodeCommandFrame(std::span<const std::uint8_t> bytes, CommandForm form) {
    CommandDecoding d;
    d.form = form;
    d.arrived = bytes.size();
    if (form == CommandForm::Direct) {
        decodeDirect(bytes, d);
    } else {
        decodeEnvelope(bytes, d);
    }
    return d;
}

}  // namespace kavrol::protocol
