// A forwarding host changes nothing: the same library calls made through it
// reach the host below with the same arguments, in the same order, and give
// the same results as made on that host directly.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fake_host/host_fake.h"
#include "host/host_forwarding.h"
#include "kavrol32/kavrol32.h"
#include "link/link_state.h"
#include "support/fake_calls.h"
#include "support/frames.h"

namespace {

using kavrol::host::FakeHost;
using kavrol::test::FakeRecord;

void* const kPort = reinterpret_cast<void*>(static_cast<std::intptr_t>(0x4321));

void script(FakeHost& fake) {
    fake.outDrainQueries = 2;  // the output wait looks three times
    fake.arrivalPerQuery = 3;  // the reply comes in over several looks
    fake.failReadNumber = 2;   // the read of the rest of the first reply fails
    const auto reply = kavrol::test::replyFrame(8, 0, {0x42});
    fake.replyOnWrite(reply.data(), reply.size());  // the second send gets no answer
}

// Every kind of host call the library makes: purges, writes, queue counts,
// waits, reads, a cleared error, ticks and the file calls.
std::vector<std::int32_t> exercise() {
    std::vector<std::int32_t> results;
    std::uint8_t buffer[KAVROL_REPLY_BUFFER_SIZE] = {};
    ReplyRecord record{};
    results.push_back(Init_Msg_Bin(0, kPort, 50));
    for (int i = 0; i < 2; ++i) {
        results.push_back(MuxSendComm(0, 5, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr));
        results.push_back(MuxReceiveComm(0, buffer, &record));
    }
    results.push_back(Invia_Ack(0x06));
    const std::uint8_t block[3] = {7, 8, 9};
    std::uint8_t back[3] = {};
    results.push_back(CreaFile("f.bin", 0));
    results.push_back(SaveBuffer(block, 3));
    results.push_back(ChiudiFile());
    results.push_back(ApriFile("f.bin"));
    results.push_back(LoadBuffer(back, 3));
    results.push_back(back[2]);
    results.push_back(ChiudiFile());
    return results;
}

struct HostRun {
    std::vector<std::int32_t> results;
    std::vector<FakeRecord> calls;
    std::vector<std::uint8_t> written;
};

template <typename Install>
HostRun runOn(Install install) {
    kavrol::link::libraryState() = kavrol::link::LibraryState{};
    FakeHost fake;
    script(fake);
    HostRun run;
    install(fake, [&] { run.results = exercise(); });
    for (std::size_t i = 0; i < fake.recordCount(); ++i) run.calls.push_back(fake.record(i));
    run.written.assign(fake.written().begin(), fake.written().end());
    kavrol::link::libraryState() = kavrol::link::LibraryState{};
    return run;
}

TEST(ForwardingHost, PassesEveryCallThroughUnchanged) {
    const HostRun direct = runOn([](FakeHost& fake, auto body) {
        const kavrol::host::ScopedHost scoped(fake);
        body();
    });
    const HostRun forwarded = runOn([](FakeHost& fake, auto body) {
        kavrol::host::ForwardingHost forwarding(fake);
        const kavrol::host::ScopedHost scoped(forwarding);
        body();
    });
    EXPECT_EQ(forwarded.results, direct.results);
    EXPECT_EQ(forwarded.written, direct.written);
    ASSERT_EQ(forwarded.calls.size(), direct.calls.size());
    for (std::size_t i = 0; i < direct.calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(forwarded.calls[i].call, direct.calls[i].call);
        EXPECT_EQ(forwarded.calls[i].port, direct.calls[i].port);
        EXPECT_EQ(forwarded.calls[i].arg, direct.calls[i].arg);
        EXPECT_EQ(forwarded.calls[i].file, direct.calls[i].file);
        EXPECT_EQ(forwarded.calls[i].overlapped, direct.calls[i].overlapped);
    }
    // The script reaches every kind of call, so none can be dropped unseen.
    using kavrol::test::FakeCall;
    std::vector<bool> seen(static_cast<std::size_t>(FakeCall::FileClose) + 1);
    for (const FakeRecord& r : direct.calls) seen[static_cast<std::size_t>(r.call)] = true;
    for (std::size_t k = 0; k < seen.size(); ++k) EXPECT_TRUE(seen[k]) << "call kind " << k;
}

}  // namespace
