// Normalization layouts as data.
//
// A layout is a list of rows, each one write (or one run of writes) into the
// caller's buffer, in the order the rows are made. Rows read fixed positions
// of the 256-byte receive area r[] and write positions of the caller's
// buffer out[]; positions no row names keep the caller's content. Every
// row is checked at compile time to stay inside both areas.
//
//   copy(a, b, c, d)        out a..b <- r[c..d]
//   copy(a, c)              out a <- r[c]
//   zero(a, b), zero(a)     out a..b <- 0
//   flag(a, c)              out a <- 1 if r[c] is non-zero, else 0
//   bit(a, c, i)            out a <- bit i of r[c], as 0 or 1
//   set(a, v)               out a <- v
//   field(a, c, lo, w, at)  out a <- bits lo..lo+w-1 of r[c], moved to bit at
//   orField(a, c, lo, w, at)   the same, ORed into out a
//   orNonZero(a, c, at)     out a |= 1 << at if r[c] is non-zero
//   orBit0IntoBit1(a)       out a |= (out a bit 0) << 1
//   map(a, c, lo, w, m)     out a <- m[bits lo..lo+w-1 of r[c]]
//   pack(a, j)              out a <- odd-bit pack of r[j], r[j+1]
//   payloadToEnd(a, c)      out a.. <- r[c..L], then one 0 byte
//   widenEach(a, c, n, w)   out a.. <- r[c..c+n-1], each zero-extended to w bytes
//   wide16(x), wide32(x)    row x, then zeros up to out a+1 or a+3: the
//                           value x writes at out a, zero-extended
//   threshold(a, c, n, v)   bit i of out a (i < n) <- 16-bit r[c+2i] >= v
//   include(x)              the rows of layout x
//   chooseBy(c, m, x, y)    the rows of x if r[c] AND m is non-zero, else y
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kavrol32/kavrol32.h"
#include "protocol/frame.h"

namespace kavrol::reply {

inline constexpr unsigned kReceiveAreaSize = protocol::kReceiveAreaSize;
inline constexpr unsigned kReplyBufferSize = KAVROL_REPLY_BUFFER_SIZE;
inline constexpr unsigned kMaxFrameIndex = protocol::kMaxReplyIndex;

struct Layout;

enum class OpKind : std::uint8_t {
    Copy,
    Zero,
    Set,
    Flag,
    Field,
    NonZero,
    OrBit0IntoBit1,
    Map,
    Pack,
    PayloadToEnd,
    Threshold,
    Widen,
    Include,
    ChooseBy,
};

// A value table indexed by a bit field of at most 3 bits.
using ValueMap = std::array<std::uint8_t, 8>;

struct Op {
    OpKind kind{};
    bool accumulate = false;  // OR into out[out] instead of assigning
    std::uint16_t out = 0;    // first buffer position written
    std::uint16_t count = 1;  // run length; threshold: number of bits
    std::uint8_t src = 0;     // first receive-area position read
    std::uint8_t lowBit = 0;  // Field/Map: lowest source bit
    std::uint8_t width = 8;   // Field/Map: number of source bits
    std::uint8_t atBit = 0;   // Field/NonZero: destination bit
    std::uint8_t value = 0;   // Set: the byte written
    std::uint8_t mask = 0;    // ChooseBy: the source bits tested
    std::uint16_t limit = 0;  // Threshold
    std::uint8_t pad = 0;     // zeros after each value (wide16/wide32, Widen)
    std::uint16_t padAt = 0;  // where they start (wide16/wide32)
    const ValueMap* map = nullptr;
    const Layout* first = nullptr;   // Include; ChooseBy when the bits are set
    const Layout* second = nullptr;  // ChooseBy when the bits are clear
};

struct Layout {
    std::span<const Op> rows;
};

namespace rows {

// Compile-time checks: a failing one stops the build at the offending row.
consteval void require(bool ok, const char* /*why*/) {
    if (!ok) throw "layout row out of range";
}
consteval void checkOut(unsigned first, unsigned count) {
    require(count >= 1 && first + count <= kReplyBufferSize, "buffer position");
}
consteval void checkSrc(unsigned first, unsigned count) {
    require(count >= 1 && first + count <= kReceiveAreaSize, "receive-area position");
}
consteval void checkBits(unsigned lowBit, unsigned width, unsigned atBit) {
    require(width >= 1 && lowBit + width <= 8 && atBit + width <= 8, "bit field");
}

consteval Op copy(unsigned outFirst, unsigned outLast, unsigned srcFirst, unsigned srcLast) {
    require(outLast >= outFirst && srcLast >= srcFirst && outLast - outFirst == srcLast - srcFirst,
            "copy ranges of one length");
    checkOut(outFirst, outLast - outFirst + 1);
    checkSrc(srcFirst, srcLast - srcFirst + 1);
    Op op{OpKind::Copy};
    op.out = static_cast<std::uint16_t>(outFirst);
    op.count = static_cast<std::uint16_t>(outLast - outFirst + 1);
    op.src = static_cast<std::uint8_t>(srcFirst);
    return op;
}
consteval Op copy(unsigned out, unsigned src) { return copy(out, out, src, src); }

consteval Op zero(unsigned outFirst, unsigned outLast) {
    require(outLast >= outFirst, "zero range");
    checkOut(outFirst, outLast - outFirst + 1);
    Op op{OpKind::Zero};
    op.out = static_cast<std::uint16_t>(outFirst);
    op.count = static_cast<std::uint16_t>(outLast - outFirst + 1);
    return op;
}
consteval Op zero(unsigned out) { return zero(out, out); }

// A row that writes the one byte out[out], reading `sources` receive-area
// bytes from r[src] on.
consteval Op byteRow(OpKind kind, unsigned out, unsigned src = 0, unsigned sources = 0) {
    checkOut(out, 1);
    if (sources > 0) checkSrc(src, sources);
    Op op{kind};
    op.out = static_cast<std::uint16_t>(out);
    op.src = static_cast<std::uint8_t>(src);
    return op;
}

consteval Op set(unsigned out, std::uint8_t value) {
    Op op = byteRow(OpKind::Set, out);
    op.value = value;
    return op;
}

consteval Op flag(unsigned out, unsigned src) { return byteRow(OpKind::Flag, out, src, 1); }

consteval Op fieldOp(bool accumulate, unsigned out, unsigned src, unsigned lowBit, unsigned width, unsigned atBit) {
    checkBits(lowBit, width, atBit);
    Op op = byteRow(OpKind::Field, out, src, 1);
    op.accumulate = accumulate;
    op.lowBit = static_cast<std::uint8_t>(lowBit);
    op.width = static_cast<std::uint8_t>(width);
    op.atBit = static_cast<std::uint8_t>(atBit);
    return op;
}
consteval Op field(unsigned out, unsigned src, unsigned lowBit, unsigned width, unsigned atBit) {
    return fieldOp(false, out, src, lowBit, width, atBit);
}
consteval Op orField(unsigned out, unsigned src, unsigned lowBit, unsigned width, unsigned atBit) {
    return fieldOp(true, out, src, lowBit, width, atBit);
}
consteval Op bit(unsigned out, unsigned src, unsigned i) { return field(out, src, i, 1, 0); }

consteval Op orNonZero(unsigned out, unsigned src, unsigned atBit) {
    checkBits(0, 1, atBit);
    Op op = byteRow(OpKind::NonZero, out, src, 1);
    op.accumulate = true;
    op.atBit = static_cast<std::uint8_t>(atBit);
    return op;
}

consteval Op orBit0IntoBit1(unsigned out) { return byteRow(OpKind::OrBit0IntoBit1, out); }

consteval Op map(unsigned out, unsigned src, unsigned lowBit, unsigned width, const ValueMap& m) {
    require(width >= 1 && width <= 3 && lowBit + width <= 8, "map field");
    Op op = byteRow(OpKind::Map, out, src, 1);
    op.lowBit = static_cast<std::uint8_t>(lowBit);
    op.width = static_cast<std::uint8_t>(width);
    op.map = &m;
    return op;
}

consteval Op pack(unsigned out, unsigned j) { return byteRow(OpKind::Pack, out, j, 2); }

consteval Op payloadToEnd(unsigned out, unsigned src) {
    // At most r[src..250] is copied, followed by one zero byte.
    require(src <= kMaxFrameIndex, "payload start");
    checkOut(out, kMaxFrameIndex - src + 2);
    Op op{OpKind::PayloadToEnd};
    op.out = static_cast<std::uint16_t>(out);
    op.src = static_cast<std::uint8_t>(src);
    return op;
}

consteval Op threshold(unsigned out, unsigned src, unsigned bits, unsigned limit) {
    require(bits >= 1 && bits <= 7, "threshold bits");
    Op op = byteRow(OpKind::Threshold, out, src, 2 * bits);
    op.count = static_cast<std::uint16_t>(bits);
    op.limit = static_cast<std::uint16_t>(limit);
    return op;
}

consteval Op widenEach(unsigned out, unsigned src, unsigned count, unsigned bytes) {
    require(bytes == 2 || bytes == 4, "widened to 16 or 32 bits");
    checkOut(out, count * bytes);
    checkSrc(src, count);
    Op op{OpKind::Widen};
    op.out = static_cast<std::uint16_t>(out);
    op.src = static_cast<std::uint8_t>(src);
    op.count = static_cast<std::uint16_t>(count);
    op.pad = static_cast<std::uint8_t>(bytes - 1);
    return op;
}

// The bytes a row assigns from out a on, for the rows a value can be widened
// from; 0 for the others.
consteval unsigned valueBytes(const Op& op) {
    switch (op.kind) {
        case OpKind::Copy: return op.count;
        case OpKind::Set:
        case OpKind::Flag:
        case OpKind::Map:
        case OpKind::Pack: return 1;
        case OpKind::Field: return op.accumulate ? 0 : 1;
        default: return 0;
    }
}
consteval Op widened(Op op, unsigned bytes) {
    const unsigned n = valueBytes(op);
    require(n >= 1 && n < bytes && op.pad == 0, "a value narrower than its widening");
    checkOut(op.out, bytes);
    op.padAt = static_cast<std::uint16_t>(op.out + n);
    op.pad = static_cast<std::uint8_t>(bytes - n);
    return op;
}
consteval Op wide16(const Op& op) { return widened(op, 2); }
consteval Op wide32(const Op& op) { return widened(op, 4); }

consteval Op include(const Layout& layout) {
    Op op{OpKind::Include};
    op.first = &layout;
    return op;
}

consteval Op chooseBy(unsigned src, std::uint8_t mask, const Layout& whenSet, const Layout& whenClear) {
    checkSrc(src, 1);
    Op op{OpKind::ChooseBy};
    op.src = static_cast<std::uint8_t>(src);
    op.mask = mask;
    op.first = &whenSet;
    op.second = &whenClear;
    return op;
}

}  // namespace rows

// The layouts of one model group, by reply code 1..9 (null: no layout).
struct GroupLayouts {
    const char* name;
    std::array<const Layout*, 10> byReplyCode;
};

// Runs a layout over the receive area r (whose r[1] is L) into out.
void runLayout(const Layout& layout, const std::uint8_t* r, std::uint8_t* out);

// Runs the group's layout for the reply code, if it has one.
void normalize(const GroupLayouts& group, std::uint8_t replyCode, const std::uint8_t* r, std::uint8_t* out);

}  // namespace kavrol::reply
