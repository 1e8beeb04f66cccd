#include "cli/frame_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "cli/report.h"
#include "protocol/frame.h"
#include "protocol/result_names.h"
#include "reply/coverage.h"
#include "reply/reply_reader.h"

namespace kavrol::cli {

namespace {

using nlohmann::json;
using tools::FoundFrame;
using tools::hexByte;
using tools::toHex;

constexpr const char* kIndent = "    ";

std::string checksumText(const tools::TwoByteChecksum& s) { return hexByte(s.odd) + " " + hexByte(s.even); }

bool twoByteOk(const FoundFrame& f) { return f.received.odd == f.computed.odd && f.received.even == f.computed.even; }

// Payload words of a word command, low byte first; empty for raw commands.
std::vector<std::uint16_t> wordsOf(const protocol::CommandFrameFields& c) {
    std::vector<std::uint16_t> words;
    if (protocol::takesRawPayload(c.command)) return words;
    for (std::size_t i = 0; i + 1 < c.payload.size(); i += 2) {
        words.push_back(static_cast<std::uint16_t>(c.payload[i] | (c.payload[i + 1] << 8)));
    }
    return words;
}

std::string wordsText(const std::vector<std::uint16_t>& words) {
    std::string s;
    for (std::uint16_t w : words) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%04X", w);
        s += (s.empty() ? "" : " ") + std::string(text);
    }
    return s;
}

std::string replyText(const FoundFrame& f) {
    const std::size_t payload = f.bytes.size() - tools::kReplyPayloadStart;
    std::string s = "reply code " + std::to_string(f.replyCode()) + ", r[3] = " + hexByte(f.header3()) +
                    ", L = " + std::to_string(f.lastIndex()) + ", " + std::to_string(payload) +
                    (payload == 1 ? " payload byte" : " payload bytes");
    if (payload > 0) s += ": " + toHex(std::span(f.bytes).subspan(tools::kReplyPayloadStart));
    return s;
}

using protocol::isDeviceErrorResult;
using protocol::kDeviceErrorBias;
using protocol::resultName;

std::string statusText(std::int32_t status) {
    const std::string named = std::to_string(status) + " (" + resultName(status) + ")";
    if (!isDeviceErrorResult(status)) return named;
    return "device error code " + std::to_string(status + kDeviceErrorBias) + ": the library returns " + named;
}

}  // namespace

Outcome replayReply(std::uint32_t model, const Bytes& frame) {
    Outcome o;
    o.received = frame;
    // The receive area as the library assembles it: the frame, zeros after.
    std::uint8_t area[reply::kReceiveAreaSize] = {};
    std::memcpy(area, frame.data(), std::min<std::size_t>(frame.size(), sizeof area));
    std::uint8_t copy[reply::kReceiveAreaSize];
    std::memcpy(copy, area, sizeof area);
    o.sendResult = KAVROL_OK;
    o.status = reply::decodeReply(model, copy, o.buffer.data(), reinterpret_cast<std::uint8_t*>(&o.record));
    if (o.status == KAVROL_OK) {
        bool written[reply::kReplyBufferSize] = {};
        reply::layoutCoverage(model, area, written);
        std::copy(std::begin(written), std::end(written), o.written.begin());
    }
    return o;
}

std::optional<double> FrameReport::gapMs(const std::optional<std::int64_t>& timeUs) {
    if (!timeUs) return std::nullopt;
    std::optional<double> gap;
    if (lastTimeUs_) gap = static_cast<double>(*timeUs - *lastTimeUs_) / 1000.0;
    lastTimeUs_ = timeUs;
    return gap;
}

void FrameReport::message(const std::string& text, std::optional<std::int64_t> timeUs) {
    if (json_) {
        json j{{"message", text}};
        if (timeUs) j["time"] = tools::clockText(*timeUs);
        os_ << j.dump() << "\n";
    } else {
        os_ << (timeUs ? tools::clockText(*timeUs) + " " : std::string()) << "!! " << text << "\n";
    }
    os_.flush();
}

void FrameReport::print(const FoundFrame& f) {
    const std::optional<double> gap = gapMs(f.timeUs);
    if (json_) {
        os_ << frameJson(f, gap).dump() << "\n";
    } else {
        printText(f, gap);
    }
    os_.flush();
}

void FrameReport::printText(const FoundFrame& f, std::optional<double> gap) {
    if (f.timeUs) {
        char g[32] = "";
        if (gap) std::snprintf(g, sizeof g, " +%.1f ms", *gap);
        os_ << tools::clockText(*f.timeUs) << g << "  ";
    }
    os_ << kindName(f.kind) << "  " << toHex(f.bytes) << "\n";
    if (f.kind == FoundFrame::Kind::Noise) {
        os_ << kIndent << f.bytes.size() << (f.bytes.size() == 1 ? " byte that forms" : " bytes that form")
            << " no frame (" << f.note << ")\n";
        return;
    }
    if (f.kind == FoundFrame::Kind::Cut || f.kind == FoundFrame::Kind::Bad) {
        os_ << kIndent << f.note << "\n";
        return;
    }
    const bool command = f.kind == FoundFrame::Kind::Command;
    if (command) {
        const protocol::CommandFrameFields c = f.fields();
        os_ << kIndent << tools::describeCommand(c) << "\n";
        if (const auto words = wordsOf(c); !words.empty()) os_ << kIndent << "words     " << wordsText(words) << "\n";
    } else {
        os_ << kIndent << replyText(f) << "\n";
    }
    os_ << kIndent << "checksum  " << (twoByteOk(f) ? "ok" : "MISMATCH") << ": received " << checksumText(f.received)
        << ", computed " << checksumText(f.computed) << (f.multiplexed() ? " (inner frame)" : "") << "\n";
    if (f.multiplexed()) {
        os_ << kIndent << "envelope  " << (f.envelopeReceived == f.envelopeComputed ? "ok" : "MISMATCH")
            << ": received " << hexByte(f.envelopeReceived) << ", computed " << hexByte(f.envelopeComputed) << "\n";
    }
    if (command) return;
    const tools::ReplyVerdict verdict = tools::judgeReply(f.bytes);
    os_ << kIndent << "status    " << statusText(verdict.status) << "\n";
    if (model_ && verdict.status == KAVROL_OK) {
        tools::HostCommand r;
        r.model = *model_;
        printReplyData(os_, r, replayReply(*model_, f.bytes), kIndent);
    }
}

json FrameReport::frameJson(const FoundFrame& f, std::optional<double> gap) const {
    json j{{"kind", kindName(f.kind)}, {"bytes", toHex(f.bytes)}};
    if (f.direction != tools::LineDirection::Unknown) j["direction"] = directionWord(f.direction);
    if (f.timeUs) j["time"] = tools::clockText(*f.timeUs);
    if (gap) j["gap_ms"] = *gap;
    if (f.kind == FoundFrame::Kind::Noise || f.kind == FoundFrame::Kind::Cut || f.kind == FoundFrame::Kind::Bad) {
        j["note"] = f.note;
        return j;
    }
    j["checksum"] = {
        {"ok", twoByteOk(f)}, {"received", checksumText(f.received)}, {"computed", checksumText(f.computed)}};
    if (f.kind == FoundFrame::Kind::Command) {
        const protocol::CommandFrameFields c = f.fields();
        j["description"] = tools::describeCommand(c);
        j["multiplexed"] = c.multiplexed;
        j["route"] = std::vector<unsigned>(c.route.begin(), c.route.end());
        j["command"] = c.command;
        j["sub"] = c.subCommand;
        j["payload"] = toHex(c.payload);
        if (!protocol::takesRawPayload(c.command)) j["words"] = wordsOf(c);
        if (c.multiplexed) {
            j["envelope_checksum"] = {{"ok", f.envelopeReceived == f.envelopeComputed},
                                      {"received", hexByte(f.envelopeReceived)},
                                      {"computed", hexByte(f.envelopeComputed)}};
        }
        return j;
    }
    const tools::ReplyVerdict verdict = tools::judgeReply(f.bytes);
    j["description"] = replyText(f);
    j["reply_code"] = f.replyCode();
    j["r3"] = f.header3();
    j["length"] = f.lastIndex();
    j["payload"] = toHex(std::span(f.bytes).subspan(tools::kReplyPayloadStart));
    j["status"] = verdict.status;
    j["status_name"] = resultName(verdict.status);
    if (isDeviceErrorResult(verdict.status)) j["device_error_code"] = verdict.status + kDeviceErrorBias;
    if (model_ && verdict.status == KAVROL_OK) {
        j["model"] = *model_;
        addReplyDataJson(j, replayReply(*model_, f.bytes));
    }
    return j;
}

}  // namespace kavrol::cli
