// A test fixture that installs a fresh fake host and resets the library's
// static state before and after each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "host/host_fake.h"
#include "kavrol32/kavrol32.h"
#include "link/link_state.h"

namespace kavrol::test {

// A handle value the fake host accepts as "the port".
inline void* const kFakePort = reinterpret_cast<void*>(static_cast<std::intptr_t>(0x1234));

class FakeHostTest : public ::testing::Test {
protected:
    FakeHostTest() : fake_(std::make_unique<host::FakeHost>()), scoped_(*fake_) {
        link::libraryState() = link::LibraryState{};
    }
    ~FakeHostTest() override { link::libraryState() = link::LibraryState{}; }

    host::FakeHost& fake() { return *fake_; }
    void bind(std::uint32_t timeoutMs = 100, void* handle = kFakePort) { Init_Msg_Bin(0, handle, timeoutMs); }

private:
    std::unique_ptr<host::FakeHost> fake_;
    host::ScopedHost scoped_;
};

}  // namespace kavrol::test
