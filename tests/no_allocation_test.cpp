// No exported call and no link call allocates from the heap.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kavrol32/link.h"
#include "link/link_state.h"
#include "support/alloc_counter.h"
#include "support/command_examples.h"
#include "support/fake_fixture.h"
#include "support/frames.h"

namespace {

using kavrol::host::FakeHost;
using kavrol::test::AllocCounter;

std::uint8_t g_block[100000];
std::uint8_t g_buffer[KAVROL_REPLY_BUFFER_SIZE];
ReplyRecord g_record;
constexpr const char* kPath = "alloc.bin";
// Taken before any counting starts: the example table is built on first use.
const kavrol::test::SendArgs kDirect = kavrol::test::commandExamples()[0].args;
const kavrol::test::SendArgs kMultiplexed = kavrol::test::commandExamples()[4].args;

void bindPort(FakeHost& /*fake*/) { Init_Msg_Bin(0, kavrol::test::kFakePort, 50); }

// The link calls use a link of their own, on the same fake host.
KavrolLink g_link;
const KavrolCommand g_linkCommand = {0, {}, 3, 0, 2, 0, {0x1234, 0x56, 0, 0}, nullptr, 0};
const KavrolCommand g_rawTooLong = {0, {}, 8, 0, 45, 0, {}, g_block, 45};

void bindLink(FakeHost& fake) {
    kavrol_link_init(&g_link, kavrol::test::kFakePort, 50);
    kavrol::link::setLinkHost(g_link, &fake);
}

void feedLinkReply(FakeHost& fake, std::uint8_t code) {
    bindLink(fake);
    const auto frame = kavrol::test::replyFrame(code, 0, std::vector<std::uint8_t>(30, 0x21));
    fake.feed(frame.data(), frame.size());
}

void feedReply(FakeHost& fake, std::uint8_t code) {
    bindPort(fake);
    const auto frame = kavrol::test::replyFrame(code, 0, std::vector<std::uint8_t>(30, 0x21));
    fake.feed(frame.data(), frame.size());
}

struct AllocCase {
    const char* name;
    void (*prepare)(FakeHost&);
    std::int32_t (*call)();
    std::int32_t expected;
};

const AllocCase kAllocCases[] = {
    {"InitMsgBin", [](FakeHost&) {}, [] { return Init_Msg_Bin(0, kavrol::test::kFakePort, 10); }, 1},
    {"GetVersion", [](FakeHost&) {}, [] { return Get_Version(); }, 20},
    {"ShiftMask", [](FakeHost&) {}, [] { return ShiftMask(-256, 0xFFFFFFFFU, 0, 4, 0); }, -16},
    {"MuxSendCommDirect", bindPort, [] { return kavrol::test::muxSend(kDirect); }, 1},
    {"MuxSendCommMultiplexed", bindPort, [] { return kavrol::test::muxSend(kMultiplexed); }, 1},
    {"MuxSendCommRejected", bindPort,
     [] { return MuxSendComm(10, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 45, 0, 0, 0, 0, 1, g_block); }, -1},
    {"MuxSendCommTimeOut",
     [](FakeHost& f) {
         bindPort(f);
         f.outStuck = true;
     },
     [] { return kavrol::test::muxSend(kDirect); }, -2},
    {"MuxReceiveCommReply", [](FakeHost& f) { feedReply(f, 1); }, [] { return MuxReceiveComm(0, g_buffer, &g_record); },
     1},
    {"MuxReceiveCommDeviceError", [](FakeHost& f) { feedReply(f, 250); },
     [] { return MuxReceiveComm(0, g_buffer, &g_record); }, -9},
    {"MuxReceiveCommTimeOut", bindPort, [] { return MuxReceiveComm(23, g_buffer, &g_record); }, -2},
    {"InviaAck", bindPort, [] { return Invia_Ack(0x1234); }, 1},
    {"CreaFile", [](FakeHost&) {}, [] { return CreaFile(kPath, 0); }, 1},
    {"SaveBuffer", [](FakeHost&) { CreaFile(kPath, 0); }, [] { return SaveBuffer(g_block, 100000); }, 1},
    {"ApriFile", [](FakeHost& f) { f.addFile(kPath, g_block, 1000); }, [] { return ApriFile(kPath); }, 1},
    {"LoadBuffer",
     [](FakeHost& f) {
         f.addFile(kPath, g_block, 70000);
         ApriFile(kPath);
     },
     [] { return LoadBuffer(g_block, 100000); }, 1},
    {"ChiudiFile", [](FakeHost&) { CreaFile(kPath, 0); }, [] { return ChiudiFile(); }, 1},
    {"LinkInit", [](FakeHost&) {}, [] { return kavrol_link_init(&g_link, kavrol::test::kFakePort, 50); }, 1},
    {"LinkSend", bindLink, [] { return kavrol_link_send(&g_link, &g_linkCommand); }, 1},
    {"LinkSendRejected", bindLink, [] { return kavrol_link_send(&g_link, &g_rawTooLong); }, -1},
    {"LinkReceiveReply", [](FakeHost& f) { feedLinkReply(f, 3); },
     [] { return kavrol_link_receive(&g_link, 18, g_buffer, &g_record); }, 1},
    {"LinkReceiveTimeOut", bindLink, [] { return kavrol_link_receive(&g_link, 6, g_buffer, &g_record); }, -2},
    {"LinkAck", bindLink, [] { return kavrol_link_ack(&g_link, 0x1234); }, 1},
    {"LinkLastReceived",
     [](FakeHost& f) {
         feedLinkReply(f, 1);
         kavrol_link_receive(&g_link, 0, g_buffer, &g_record);
     },
     [] { return kavrol_link_last_received(&g_link, g_block, sizeof g_block); }, 36},
    {"LinkPortLost", bindLink, [] { return kavrol_link_port_lost(&g_link); }, 0},
    {"ResultName", [](FakeHost&) {}, [] { return static_cast<std::int32_t>(*kavrol_result_name(-3)); }, 'f'},
};

class NoAllocationTest : public kavrol::test::FakeHostTest, public ::testing::WithParamInterface<AllocCase> {};

TEST_P(NoAllocationTest, CallMakesNoHeapAllocation) {
    const AllocCase& c = GetParam();
    c.prepare(fake());
    AllocCounter::start();
    const std::int32_t result = c.call();
    const std::size_t allocations = AllocCounter::stop();
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(allocations, 0U);
}

INSTANTIATE_TEST_SUITE_P(Exports, NoAllocationTest, ::testing::ValuesIn(kAllocCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// The counter itself sees allocations.
TEST(AllocCounterCheck, CountsAnAllocation) {
    AllocCounter::start();
    auto* p = new std::vector<int>(8);
    const std::size_t allocations = AllocCounter::stop();
    delete p;
    EXPECT_GE(allocations, 1U);
}

}  // namespace
