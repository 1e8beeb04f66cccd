// Over real descriptors: the library never touches a descriptor that is not
// its port or its own open file.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/host.h"
#include "kavrol32/kavrol32.h"
#include "link/link_state.h"
#include "support/pty_peer.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void resetLibrary() {
    kavrol::host::install(nullptr);
    kavrol::link::libraryState() = kavrol::link::LibraryState{};
}

// Every port and file call the library offers, as an unbound application
// would make them; 0 when each gave the unbound result.
int unboundRound() {
    std::uint8_t buffer[KAVROL_REPLY_BUFFER_SIZE] = {};
    ReplyRecord record{};
    std::uint8_t block[3] = {'x', 'y', 'z'};
    if (MuxSendComm(0, 5, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr) != -2) return 1;
    if (Invia_Ack(0x06) != 1) return 2;
    if (MuxReceiveComm(0, buffer, &record) != -2) return 3;
    if (SaveBuffer(block, 3) != 0) return 4;
    if (LoadBuffer(block, 3) != 0) return 5;
    if (ChiudiFile() != 1) return 6;
    return 0;
}

// Runs in a child whose standard input is the pty's port side, with "abc"
// queued on it. Returns the exit status: 0 when nothing touched stdin.
int childWithPtyStdin(int ptyPort) {
    if (::dup2(ptyPort, 0) != 0) return 20;
    resetLibrary();
    if (const int r = unboundRound()) return r;
    Init_Msg_Bin(7, nullptr, 0);
    if (const int r = unboundRound()) return 10 + r;
    if (::fcntl(0, F_GETFD) < 0) return 21;
    int queued = 0;
    if (::ioctl(0, FIONREAD, &queued) != 0 || queued != 3) return 22;
    char got[3] = {};
    if (::read(0, got, 3) != 3 || got[0] != 'a' || got[1] != 'b' || got[2] != 'c') return 23;
    return 0;
}

TEST(UnboundOnStandardInput, ChildSeesNoByteAndNoFlush) {
    kavrol::pty::PtyPair pty;
    peerWrite(pty, {'a', 'b', 'c'});
    ASSERT_TRUE(waitPortInput(pty, 3));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(childWithPtyStdin(pty.port()));
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    // 1..6: a call before binding, 11..16: after binding null, 2x: stdin touched.
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(peerDrain(pty, 100).empty());
}

class ClosedFileTest : public ::testing::Test {
protected:
    ClosedFileTest() { resetLibrary(); }
    ~ClosedFileTest() override {
        ChiudiFile();
        resetLibrary();
    }
    kavrol::test::TempDir dir_;
};

Bytes contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(ClosedFileTest, FileOpenedAfterCloseUnderTheSameNumberIsLeftAlone) {
    const std::string ours = dir_.file("ours.bin");
    const std::string theirs = dir_.file("theirs.bin");
    ASSERT_EQ(CreaFile(ours.c_str(), 0), 1);
    const int number = kavrol::link::libraryState().fileHandle;
    const Bytes data(10, 0x55);
    ASSERT_EQ(SaveBuffer(data.data(), 10), 1);
    ASSERT_EQ(ChiudiFile(), 1);

    const int other = ::open(theirs.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_EQ(other, number) << "the system did not reuse the descriptor number";
    ASSERT_EQ(::write(other, "keep", 4), 4);

    EXPECT_EQ(SaveBuffer(data.data(), 10), 0);
    Bytes dest(4, 0);
    EXPECT_EQ(LoadBuffer(dest.data(), 4), 0);
    EXPECT_EQ(ChiudiFile(), 1);
    EXPECT_EQ(ChiudiFile(), 1);

    EXPECT_GE(::fcntl(other, F_GETFD), 0) << "the application's descriptor was closed";
    EXPECT_EQ(::lseek(other, 0, SEEK_CUR), 4);
    ::close(other);
    EXPECT_EQ(contentOf(theirs), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(contentOf(ours), data);
}

std::size_t openDescriptorCount() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST_F(ClosedFileTest, ThousandCreatesLeakNoDescriptor) {
    const std::string path = dir_.file("again.bin");
    const std::size_t before = openDescriptorCount();
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(CreaFile(path.c_str(), 0), 1) << "call " << i;
    EXPECT_EQ(openDescriptorCount(), before + 1);
    EXPECT_EQ(ChiudiFile(), 1);
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(ClosedFileTest, ThousandOpensLeakNoDescriptor) {
    const std::string path = dir_.file("read.bin");
    std::ofstream(path, std::ios::binary) << "data";
    const std::size_t before = openDescriptorCount();
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(ApriFile(path.c_str()), 1) << "call " << i;
    EXPECT_EQ(openDescriptorCount(), before + 1);
    EXPECT_EQ(ChiudiFile(), 1);
    EXPECT_EQ(openDescriptorCount(), before);
}

}  // namespace
