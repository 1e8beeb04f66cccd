#include "cli/report.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/wire.h"
#include "protocol/frame.h"
#include "protocol/record_fields.h"
#include "protocol/result_names.h"

namespace kavrol::cli {

namespace {

using nlohmann::json;
using tools::toHex;

constexpr std::size_t kBytesPerLine = 24;
constexpr std::size_t kValuesPerLine = 16;
constexpr const char* kColumn = "          ";  // where the values of a section start

// Items joined by spaces, perLine to a line; continuation lines start with `rest`.
std::string wrapped(const std::vector<std::string>& items, std::size_t perLine, const std::string& rest) {
    std::string s;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) s += (i % perLine == 0) ? "\n" + rest : " ";
        s += items[i];
    }
    return s;
}

std::string wrappedHex(std::span<const std::uint8_t> bytes, const std::string& indent) {
    if (bytes.empty()) return "nothing";
    std::vector<std::string> items;
    for (std::uint8_t b : bytes) items.push_back(tools::hexByte(b));
    return wrapped(items, kBytesPerLine, indent + kColumn);
}

// Runs of consecutive written positions: (first position, bytes).
std::vector<std::pair<std::size_t, Bytes>> writtenRuns(const Outcome& o) {
    std::vector<std::pair<std::size_t, Bytes>> runs;
    for (std::size_t k = 0; k < o.written.size(); ++k) {
        if (!o.written[k]) continue;
        if (runs.empty() || runs.back().first + runs.back().second.size() != k) runs.push_back({k, {}});
        runs.back().second.push_back(o.buffer[k]);
    }
    return runs;
}

// "elements 1..24" style list of the elements not fed by the reply.
std::string notFromReplyText(const FieldValue& f) {
    std::string s;
    std::size_t i = 0;
    while (i < f.fromReply.size()) {
        if (f.fromReply[i]) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j + 1 < f.fromReply.size() && !f.fromReply[j + 1]) ++j;
        s += (s.empty() ? "" : ", ") + std::to_string(i) + (j > i ? ".." + std::to_string(j) : "");
        i = j + 1;
    }
    return s;
}

void printBuffer(std::ostream& os, const Outcome& o, const HostCommand& r, const std::string& indent) {
    const std::size_t count = o.writtenCount();
    if (count == 0) {
        os << indent << "buffer    model " << r.model
           << " has no layout for this reply: the buffer is left as it was\n";
        return;
    }
    os << indent << "buffer    " << count << " of " << o.buffer.size() << " positions written by the model " << r.model
       << " layout (-- = not written):\n";
    for (std::size_t row = 0; row < o.buffer.size(); row += 16) {
        bool any = false;
        std::string line;
        for (std::size_t k = row; k < row + 16 && k < o.buffer.size(); ++k) {
            any = any || o.written[k];
            line += (k == row ? "" : " ") + (o.written[k] ? tools::hexByte(o.buffer[k]) : std::string("--"));
        }
        if (any) os << indent << kColumn << std::setw(3) << std::setfill(' ') << row << ":  " << line << "\n";
    }
}

std::string plainValue(std::uint32_t v, std::size_t width) {
    std::ostringstream s;
    s << v << " (0x" << std::hex << std::uppercase << std::setw(static_cast<int>(2 * width)) << std::setfill('0') << v
      << ")";
    return s.str();
}

void printRecord(std::ostream& os, const Outcome& o, const std::string& indent) {
    const std::vector<FieldValue> fields = recordFields(o);
    if (fields.empty()) {
        os << indent << "record    this reply code fills no record fields\n";
        return;
    }
    os << indent << "record    reply code " << replyCodeOf(o) << " fills these fields:\n";
    const std::string nameColumn = indent + kColumn;
    const std::string valueColumn = nameColumn + std::string(16, ' ');
    bool anyCaller = false;
    for (const FieldValue& f : fields) {
        std::string value;
        if (f.isArray) {
            std::vector<std::string> items;
            for (std::uint32_t v : f.values) items.push_back(std::to_string(v));
            value = "[" + wrapped(items, kValuesPerLine, valueColumn + " ") + "]";
        } else {
            value = plainValue(f.values[0], f.elementSize);
        }
        const std::string missing = notFromReplyText(f);
        anyCaller = anyCaller || !missing.empty();
        const std::string note = missing.empty() ? "" : f.isArray ? "  * elements " + missing : "  *";
        os << nameColumn << std::left << std::setw(13) << f.name << std::right << "= " << value << note << "\n";
    }
    if (anyCaller)
        os << nameColumn << "* from buffer bytes the layout did not write: the caller's content (zero here)\n";
}

// Every byte that arrived, in hex and as text, and how much of it the
// library read.
void printArrived(std::ostream& os, const Outcome& o, const std::string& indent) {
    os << indent << "received  " << wrappedHex(o.arrived, indent) << "\n";
    if (o.arrived.empty()) return;
    const std::string ascii = tools::printableAscii(o.arrived);
    for (std::size_t at = 0; at < ascii.size(); at += kBytesPerLine) {
        os << indent << kColumn << (at == 0 ? "ascii " : "      ") << ascii.substr(at, kBytesPerLine) << "\n";
    }
    if (o.arrived.size() > o.received.size()) {
        os << indent << kColumn << "the library read the first " << o.received.size() << " of these "
           << o.arrived.size() << " bytes; it left the other " << o.arrived.size() - o.received.size()
           << " in the input queue\n";
    }
}

}  // namespace

std::string statusName(std::int32_t status) { return protocol::resultName(status); }

std::string statusMeaning(std::int32_t status) {
    if (status == KAVROL_OK) return "valid reply, normalized and parsed as far as its reply code has a layout";
    if (status == KAVROL_E_REJECTED) return "rejected: the command does not fit a frame, nothing was sent";
    if (status == KAVROL_E_TIMEOUT) return "time-out: the reply, or the rest of it, did not arrive in time";
    if (status == KAVROL_E_FRAME)
        return "frame error: the port read failed, the length byte is out of range, or the checksum does not match";
    if (protocol::isDeviceErrorResult(status)) {
        return "device error code " + std::to_string(protocol::deviceErrorCodeOf(status)) +
               ": the device answered with an error";
    }
    return "unexpected result";
}

namespace {

std::string readerDetail(const Outcome& o) {
    if (o.status == KAVROL_E_TIMEOUT) {
        if (o.received.size() < 2) return o.arrived.empty() ? "no reply arrived" : "no whole reply header arrived";
        const std::size_t announced = o.received[1];
        const std::size_t came =
            std::min(o.arrived.size(), announced + 1) - std::min<std::size_t>(o.received.size(), 2);
        return "the header arrived (L = " + std::to_string(announced) + "), then " + std::to_string(came) + " of the " +
               std::to_string(announced - 1) + " bytes after it";
    }
    return tools::judgeReply(o.received).detail;
}

}  // namespace

std::string failureDetail(const Outcome& o) {
    if (o.sendResult != KAVROL_OK) return "the command did not leave the port in time";
    // The reader takes the first byte for the start byte without looking.
    return readerDetail(o) + tools::startByteNote(o.arrived.empty() ? o.received : o.arrived);
}

std::string pollSummary(const Outcome& o) {
    char rtt[32];
    std::snprintf(rtt, sizeof rtt, "rtt %.1f ms", o.roundTripMs);
    std::string s = "status " + std::to_string(o.status) + " " + statusName(o.status) + "  " + rtt;
    const int code = replyCodeOf(o);
    if (code >= 0) return s + "  reply code " + std::to_string(code);
    s += "  " + (protocol::isDeviceErrorResult(o.status) ? statusMeaning(o.status) : failureDetail(o));
    if (!o.arrived.empty()) s += "; arrived " + toHex(o.arrived) + " \"" + tools::printableAscii(o.arrived) + "\"";
    return s;
}

int replyCodeOf(const Outcome& o) { return o.status == KAVROL_OK && o.received.size() > 2 ? o.received[2] : -1; }

std::vector<FieldValue> recordFields(const Outcome& o) {
    std::vector<FieldValue> out;
    const int code = replyCodeOf(o);
    if (code < 0) return out;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&o.record);
    for (const protocol::RecordField& rf : protocol::recordFieldsOf(static_cast<std::uint8_t>(code))) {
        FieldValue f;
        f.name = rf.name;
        f.isArray = rf.count > 1;
        f.elementSize = rf.elementSize;
        for (std::size_t i = 0; i < rf.count; ++i) {
            const std::size_t at = rf.recordOffset + i * rf.elementSize;
            std::uint32_t v = 0;
            bool fromReply = true;
            for (std::size_t b = 0; b < rf.elementSize; ++b) {
                v |= static_cast<std::uint32_t>(bytes[at + b]) << (8 * b);
                const auto from = protocol::bufferByteOf(static_cast<std::uint8_t>(code), at + b);
                fromReply = fromReply && o.written[static_cast<std::size_t>(from)];
            }
            f.values.push_back(v);
            f.fromReply.push_back(fromReply);
        }
        out.push_back(std::move(f));
    }
    return out;
}

void printOutcome(std::ostream& os, const HostCommand& r, const Outcome& o, const std::string& indent) {
    os << indent << "command   " << tools::describeCommand(r) << ", read as model " << r.model << "\n";
    os << indent << "sent      " << wrappedHex(o.sent, indent)
       << (r.multiplexed() || o.sent.empty() ? "" : "   (the start byte 3C is not sent)") << "\n";
    printArrived(os, o, indent);
    os << indent << "status    " << o.status << "  " << statusMeaning(o.status) << "\n";
    if (o.status != KAVROL_OK) {
        // A device error needs no more words than its meaning.
        if (!protocol::isDeviceErrorResult(o.status)) os << indent << kColumn << failureDetail(o) << "\n";
        return;
    }
    os << indent << "reply     code " << replyCodeOf(o) << ", r[3] = " << tools::hexByte(o.received[tools::kHeader3At])
       << ", L = " << unsigned(o.received[1]) << ", " << o.received.size() - tools::kReplyPayloadStart
       << (o.received.size() - tools::kReplyPayloadStart == 1 ? " payload byte" : " payload bytes") << " from r[6]\n";
    printReplyData(os, r, o, indent);
}

void printReplyData(std::ostream& os, const HostCommand& r, const Outcome& o, const std::string& indent) {
    printBuffer(os, o, r, indent);
    printRecord(os, o, indent);
}

void addReplyDataJson(json& j, const Outcome& o) {
    json runs = json::array();
    for (const auto& [at, bytes] : writtenRuns(o)) runs.push_back({{"at", at}, {"bytes", bytes}});
    j["buffer"] = runs;
    addRecordJson(j, o);
}

void addRecordJson(json& j, const Outcome& o) {
    json record = json::object();
    json caller = json::array();
    for (const FieldValue& f : recordFields(o)) {
        record[f.name] = f.isArray ? json(f.values) : json(f.values[0]);
        const std::string missing = notFromReplyText(f);
        if (!missing.empty()) caller.push_back(f.isArray ? f.name + "[" + missing + "]" : f.name);
    }
    j["record"] = record;
    j["record_from_caller_buffer"] = caller;
}

json outcomeJson(const std::string& port, const HostCommand& r, const Outcome& o) {
    json j;
    j["port"] = port;
    const std::span<const std::uint8_t> route = r.routeBytes();
    const std::span<const std::uint16_t> words = r.wordList();
    j["request"] = {{"model", r.model},
                    {"command", r.command},
                    {"sub", r.subCommand},
                    {"multiplexed", r.multiplexed()},
                    {"route", std::vector<unsigned>(route.begin(), route.end())},
                    {"words", std::vector<std::uint16_t>(words.begin(), words.end())},
                    {"raw", toHex(r.raw)}};
    j["sent"] = toHex(o.sent);
    j["send_result"] = o.sendResult;
    j["status"] = o.status;
    j["status_name"] = statusName(o.status);
    j["meaning"] = statusMeaning(o.status);
    j["received"] = toHex(o.received);
    j["arrived"] = toHex(o.arrived);
    j["arrived_ascii"] = tools::printableAscii(o.arrived);
    j["rtt_ms"] = o.roundTripMs;
    if (protocol::isDeviceErrorResult(o.status)) j["device_error_code"] = protocol::deviceErrorCodeOf(o.status);
    if (o.status != KAVROL_OK) {
        j["detail"] = failureDetail(o);
        return j;
    }
    j["reply_code"] = replyCodeOf(o);
    j["r3"] = o.received[tools::kHeader3At];
    j["length"] = o.received[1];
    j["payload"] = o.received.size() > tools::kReplyPayloadStart
                       ? toHex(std::span(o.received).subspan(tools::kReplyPayloadStart))
                       : "";
    addReplyDataJson(j, o);
    return j;
}

}  // namespace kavrol::cli
