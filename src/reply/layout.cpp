#include "reply/layout.h"

#include <cstring>

namespace kavrol::reply {

namespace {

std::uint8_t fieldOf(std::uint8_t byte, unsigned lowBit, unsigned width) {
    return static_cast<std::uint8_t>((unsigned{byte} >> lowBit) & ((1U << width) - 1U));
}

// Odd-bit pack of r[j], r[j+1], built in place: bit 7..0 of the result are
// r[j+1].7, .5, .3, .1, r[j].7, .5, .3, .1.
void packOddBits(std::uint8_t& dest, std::uint8_t low, std::uint8_t high) {
    const unsigned order[7][2] = {{1, 7}, {1, 5}, {1, 3}, {1, 1}, {0, 7}, {0, 5}, {0, 3}};
    const std::uint8_t src[2] = {low, high};
    dest = 0;
    for (const auto& [which, b] : order) {
        dest = static_cast<std::uint8_t>(dest | fieldOf(src[which], b, 1));
        dest = static_cast<std::uint8_t>(dest << 1);
    }
    dest = static_cast<std::uint8_t>(dest | fieldOf(low, 1, 1));
}

void put(std::uint8_t& dest, bool accumulate, unsigned value) {
    const auto v = static_cast<std::uint8_t>(value);
    dest = accumulate ? static_cast<std::uint8_t>(dest | v) : v;
}

void runRow(const Op& op, const std::uint8_t* r, std::uint8_t* out) {
    std::uint8_t& dest = out[op.out];
    switch (op.kind) {
        case OpKind::Copy: std::memcpy(out + op.out, r + op.src, op.count); break;
        case OpKind::Zero: std::memset(out + op.out, 0, op.count); break;
        case OpKind::Set: dest = op.value; break;
        case OpKind::Flag: dest = r[op.src] != 0 ? 1 : 0; break;
        case OpKind::Field:
            put(dest, op.accumulate, static_cast<unsigned>(fieldOf(r[op.src], op.lowBit, op.width)) << op.atBit);
            break;
        case OpKind::NonZero: put(dest, op.accumulate, (r[op.src] != 0 ? 1U : 0U) << op.atBit); break;
        case OpKind::OrBit0IntoBit1: dest = static_cast<std::uint8_t>(dest | ((dest & 1U) << 1)); break;
        case OpKind::Map: dest = (*op.map)[fieldOf(r[op.src], op.lowBit, op.width)]; break;
        case OpKind::Pack: packOddBits(dest, r[op.src], r[op.src + 1]); break;
        case OpKind::PayloadToEnd: {
            const unsigned last = r[1] <= kMaxFrameIndex ? r[1] : kMaxFrameIndex;
            const unsigned n = last >= op.src ? last - op.src + 1 : 0;
            std::memcpy(out + op.out, r + op.src, n);
            out[op.out + n] = 0;
            break;
        }
        case OpKind::Threshold: {
            unsigned bits = dest & ~((1U << op.count) - 1U);
            for (unsigned i = 0; i < op.count; ++i) {
                const unsigned value = unsigned{r[op.src + 2 * i]} | (unsigned{r[op.src + 2 * i + 1]} << 8);
                if (value >= op.limit) bits |= 1U << i;
            }
            dest = static_cast<std::uint8_t>(bits);
            break;
        }
        case OpKind::Widen:
            for (unsigned k = 0; k < op.count; ++k) {
                std::uint8_t* value = out + op.out + k * (op.pad + 1U);
                value[0] = r[op.src + k];
                std::memset(value + 1, 0, op.pad);
            }
            return;
        case OpKind::Include: runLayout(*op.first, r, out); break;
        case OpKind::ChooseBy: runLayout((r[op.src] & op.mask) != 0 ? *op.first : *op.second, r, out); break;
    }
    std::memset(out + op.padAt, 0, op.pad);
}

}  // namespace

void runLayout(const Layout& layout, const std::uint8_t* r, std::uint8_t* out) {
    for (const Op& op : layout.rows) runRow(op, r, out);
}

void normalize(const GroupLayouts& group, std::uint8_t replyCode, const std::uint8_t* r, std::uint8_t* out) {
    if (replyCode >= group.byReplyCode.size()) return;
    const Layout* layout = group.byReplyCode[replyCode];
    if (layout != nullptr) runLayout(*layout, r, out);
}

}  // namespace kavrol::reply
