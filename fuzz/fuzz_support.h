// Helpers shared by the fuzz targets: failure reporting, guarded caller
// areas, a reader of the fuzzer's bytes, and wire checks written
// independently of the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fake_host/host_fake.h"
#include "kavrol32/kavrol32.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVROL_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KAVROL_FUZZ_ASAN 1
#endif
#if defined(KAVROL_FUZZ_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace kavrol::fuzz {

// Reports a broken property and aborts, which libFuzzer records as a crash.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

// A caller area of exactly N bytes on the heap, followed by guard bytes that
// must stay intact. Under AddressSanitizer the guard is also poisoned, so a
// read past the area is reported as well as a write.
template <std::size_t N>
class GuardedArea {
public:
    static constexpr std::size_t kGuard = 32;
    static constexpr std::uint8_t kGuardByte = 0xCB;

    GuardedArea() : bytes_(static_cast<std::uint8_t*>(std::aligned_alloc(8, rounded()))) {
        std::memset(bytes_ + N, kGuardByte, kGuard);
        poison(true);
    }
    ~GuardedArea() {
        poison(false);
        std::free(bytes_);
    }
    GuardedArea(const GuardedArea&) = delete;
    GuardedArea& operator=(const GuardedArea&) = delete;

    std::uint8_t* data() { return bytes_; }
    const std::uint8_t* data() const { return bytes_; }
    static constexpr std::size_t size() { return N; }

    void fill(std::uint8_t seed) {
        for (std::size_t i = 0; i < N; ++i) bytes_[i] = static_cast<std::uint8_t>(seed + 37 * i);
    }
    bool guardIntact() {
        poison(false);
        bool ok = true;
        for (std::size_t i = 0; i < kGuard; ++i) ok = ok && bytes_[N + i] == kGuardByte;
        poison(true);
        return ok;
    }

private:
    static constexpr std::size_t rounded() { return (N + kGuard + 7) / 8 * 8; }
    void poison(bool on) {
#if defined(KAVROL_FUZZ_ASAN)
        if (on) {
            ASAN_POISON_MEMORY_REGION(bytes_ + N, rounded() - N);
        } else {
            ASAN_UNPOISON_MEMORY_REGION(bytes_ + N, rounded() - N);
        }
#else
        static_cast<void>(on);
#endif
    }
    std::uint8_t* bytes_;
};

// Takes values from the front of the fuzzer's bytes; zero once they run out.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t Word32() {
        std::uint32_t v = 0;
        for (unsigned i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        return v;
    }
    const std::uint8_t* Rest() const { return data_ + pos_; }
    std::size_t restSize() const { return size_ - (pos_ < size_ ? pos_ : size_); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// XOR of the even and of the odd positions of f[0..last], with positions 4
// and 5 counted as 0. An independent oracle on purpose: the targets check the
// library's checksum against it, so it does not use the protocol module.
struct TwoByteSums {
    std::uint8_t even = 0;
    std::uint8_t odd = 0;
};
inline TwoByteSums referenceSums(const std::uint8_t* f, unsigned last) {
    TwoByteSums s;
    for (unsigned i = 0; i <= last; ++i) {
        const std::uint8_t b = (i == 4 || i == 5) ? 0 : f[i];
        if (i % 2 == 0) {
            s.even ^= b;
        } else {
            s.odd ^= b;
        }
    }
    return s;
}

// True when f[4] holds the odd-position sum and f[5] the even-position sum.
inline bool referenceVerify(const std::uint8_t* f, unsigned last) {
    const TwoByteSums s = referenceSums(f, last);
    return f[4] == s.odd && f[5] == s.even;
}

// The one fake host of a target (it is large, so it is made once), cleared of
// the previous input's stream, records and tick script, with the library
// bound to `port`. The caller installs it for the input with host::ScopedHost.
inline host::FakeHost& freshFakeHost(void* port, std::uint32_t timeoutMs) {
    static host::FakeHost* const fake = new host::FakeHost;
    fake->purge(port, host::kPurgeReceive | host::kPurgeTransmit);
    fake->clearRecords();
    fake->clearWritten();
    fake->setTick(0);
    fake->overRead = false;
    Init_Msg_Bin(0, port, timeoutMs);
    return *fake;
}

}  // namespace kavrol::fuzz
