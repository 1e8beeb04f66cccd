// Block file I/O on the real POSIX file system.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/host.h"
#include "kavrol32/kavrol32.h"
#include "link/link_state.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + i / 977) & 0xFF);
    return b;
}

Bytes contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class PosixFileTest : public ::testing::Test {
protected:
    PosixFileTest() {
        kavrol::host::install(nullptr);
        kavrol::link::libraryState() = kavrol::link::LibraryState{};
    }
    ~PosixFileTest() override {
        ChiudiFile();
        kavrol::link::libraryState() = kavrol::link::LibraryState{};
    }
    kavrol::test::TempDir dir_;
};

TEST_F(PosixFileTest, WritesAHundredThousandBytesInPiecesAndReadsThemBack) {
    const std::string path = dir_.file("block.bin");
    const Bytes data = pattern(100000);
    ASSERT_EQ(CreaFile(path.c_str(), 0), 1);
    EXPECT_EQ(SaveBuffer(data.data(), 40000), 1);
    EXPECT_EQ(SaveBuffer(data.data() + 40000, 32769), 1);
    EXPECT_EQ(SaveBuffer(data.data() + 72769, 27231), 1);
    EXPECT_EQ(ChiudiFile(), 1);
    EXPECT_EQ(contentOf(path), data);

    ASSERT_EQ(ApriFile(path.c_str()), 1);
    Bytes back(100000, 0);
    EXPECT_EQ(LoadBuffer(back.data(), 100000), 1);
    EXPECT_EQ(back, data);

    // At end of file: nothing moves, the block keeps its content.
    Bytes tail(16, 0x77);
    EXPECT_EQ(LoadBuffer(tail.data(), 16), 1);
    EXPECT_EQ(tail, Bytes(16, 0x77));
    EXPECT_EQ(ChiudiFile(), 1);
}

// Block sizes at the edges: one byte, and around the 32,768-byte pieces the
// calls move a block in.
TEST_F(PosixFileTest, BlocksOfEdgeSizesGoThereAndBack) {
    for (const std::int32_t size : {1, 2, 32767, 32768, 32769}) {
        SCOPED_TRACE(size);
        const std::string path = dir_.file("edge.bin");
        const Bytes data = pattern(static_cast<std::size_t>(size));
        ASSERT_EQ(CreaFile(path.c_str(), 0), 1);
        EXPECT_EQ(SaveBuffer(data.data(), size), 1);
        EXPECT_EQ(ChiudiFile(), 1);
        EXPECT_EQ(contentOf(path), data);
        ASSERT_EQ(ApriFile(path.c_str()), 1);
        Bytes back(data.size(), 0);
        EXPECT_EQ(LoadBuffer(back.data(), size), 1);
        EXPECT_EQ(back, data);
        EXPECT_EQ(ChiudiFile(), 1);
    }
}

// A block call whose descriptor fails (closed behind the library's back)
// reports the failure; a failed read is not taken for the end of the file.
TEST_F(PosixFileTest, FailingDescriptorIsReportedNotTakenForEndOfFile) {
    const std::string path = dir_.file("gone.bin");
    const Bytes data = pattern(8);
    for (const bool create : {true, false}) {
        SCOPED_TRACE(create ? "SaveBuffer" : "LoadBuffer");
        ASSERT_EQ(create ? CreaFile(path.c_str(), 0) : ApriFile(path.c_str()), 1);
        ASSERT_EQ(::close(kavrol::link::libraryState().fileHandle), 0);
        Bytes back(8, 0);
        EXPECT_EQ(create ? SaveBuffer(data.data(), 8) : LoadBuffer(back.data(), 8), 0);
        ChiudiFile();
    }
}

// Attribute 0 creates a file its owner may write again later.
TEST_F(PosixFileTest, PlainAttributeCreatesAWritableFile) {
    const std::string path = dir_.file("plain.bin");
    ASSERT_EQ(CreaFile(path.c_str(), 0), 1);
    EXPECT_EQ(ChiudiFile(), 1);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0U);
    // Read and write for everyone, less the process's umask.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 07777, 0666U & ~mask);
}

// The open file is not handed to programs the application starts.
TEST_F(PosixFileTest, OpenFilesCloseOnExec) {
    const std::string path = dir_.file("exec.bin");
    for (const bool create : {true, false}) {
        SCOPED_TRACE(create ? "CreaFile" : "ApriFile");
        ASSERT_EQ(create ? CreaFile(path.c_str(), 0) : ApriFile(path.c_str()), 1);
        const int fd = kavrol::link::libraryState().fileHandle;
        ASSERT_GE(fd, 0);
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(ChiudiFile(), 1);
    }
}

TEST_F(PosixFileTest, ShortReadFillsOnlyWhatTheFileHolds) {
    const std::string path = dir_.file("short.bin");
    const Bytes data = {1, 2, 3, 4};
    ASSERT_EQ(CreaFile(path.c_str(), 0), 1);
    ASSERT_EQ(SaveBuffer(data.data(), 4), 1);
    ASSERT_EQ(ApriFile(path.c_str()), 1);
    Bytes dest(10, 0xCC);
    EXPECT_EQ(LoadBuffer(dest.data(), 10), 1);
    EXPECT_EQ(dest, (Bytes{1, 2, 3, 4, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC}));
}

TEST_F(PosixFileTest, CreateTruncatesAnExistingFile) {
    const std::string path = dir_.file("old.bin");
    std::ofstream(path, std::ios::binary) << "previous content";
    ASSERT_EQ(std::filesystem::file_size(path), 16U);
    EXPECT_EQ(CreaFile(path.c_str(), 0), 1);
    EXPECT_EQ(std::filesystem::file_size(path), 0U);
}

TEST_F(PosixFileTest, ReadOnlyAttributeCreatesAFileWithoutWriteBits) {
    const std::string path = dir_.file("readonly.bin");
    ASSERT_EQ(CreaFile(path.c_str(), 1), 1);
    const Bytes data = {9, 8, 7};
    // The handle itself is open for writing.
    EXPECT_EQ(SaveBuffer(data.data(), 3), 1);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0U);
    EXPECT_EQ(ChiudiFile(), 1);
    EXPECT_EQ(contentOf(path), data);
}

TEST_F(PosixFileTest, MissingFileAndMissingDirectoryFail) {
    EXPECT_EQ(ApriFile(dir_.file("missing.bin").c_str()), 0);
    EXPECT_EQ(kavrol::link::libraryState().fileHandle, -1);
    Bytes dest(4, 0x11);
    EXPECT_EQ(LoadBuffer(dest.data(), 4), 0);
    EXPECT_EQ(dest, Bytes(4, 0x11));
    EXPECT_EQ(CreaFile(dir_.file("no-such-dir/x.bin").c_str(), 0), 0);
    EXPECT_EQ(kavrol::link::libraryState().fileHandle, -1);
    // A directory is no file to read, as on Windows.
    EXPECT_EQ(ApriFile(dir_.file(".").c_str()), 0);
    EXPECT_EQ(kavrol::link::libraryState().fileHandle, -1);
}

TEST_F(PosixFileTest, WriteToAFileOpenedForReadingFailsAndChangesNothing) {
    const std::string path = dir_.file("ro.bin");
    std::ofstream(path, std::ios::binary) << "abcd";
    ASSERT_EQ(ApriFile(path.c_str()), 1);
    const Bytes data = {1, 2, 3, 4};
    EXPECT_EQ(SaveBuffer(data.data(), 4), 0);
    EXPECT_EQ(contentOf(path), (Bytes{'a', 'b', 'c', 'd'}));
}

// A process started without standard input gets descriptor 0 from its
// first open: that is a file like any other, for writing and reading.
TEST_F(PosixFileTest, DescriptorZeroIsAFileLikeAnyOther) {
    const int savedInput = ::dup(0);
    ASSERT_GE(savedInput, 0);
    ::close(0);
    const std::string path = dir_.file("zero.bin");
    const Bytes data = {5, 6, 7};
    const int created = CreaFile(path.c_str(), 0);
    const int createdOn = kavrol::link::libraryState().fileHandle;
    const int saved = SaveBuffer(data.data(), 3);
    ChiudiFile();
    const int opened = ApriFile(path.c_str());
    const int openedOn = kavrol::link::libraryState().fileHandle;
    Bytes back(3, 0);
    const int loaded = LoadBuffer(back.data(), 3);
    ChiudiFile();
    ::dup2(savedInput, 0);
    ::close(savedInput);

    EXPECT_EQ(createdOn, 0);
    EXPECT_EQ(openedOn, 0);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(saved, 1);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(loaded, 1);
    EXPECT_EQ(back, data);
    EXPECT_EQ(contentOf(path), data);
}

// The host moves whole blocks also on non-blocking descriptors (a pipe
// here): a write waits while the pipe is full, a read waits for the rest.
TEST(PosixHostBlocks, NonBlockingDescriptorsMoveWholeBlocks) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    for (const int fd : fds) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    kavrol::host::Host& host = kavrol::host::platform();
    const Bytes data = pattern(300000);  // several times a pipe's capacity

    Bytes received;
    std::atomic<bool> writeReturned{false};
    std::thread reader([&] {
        std::uint8_t chunk[4096];
        for (;;) {
            const bool last = writeReturned;  // then whatever is in the pipe is all
            const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
            if (n > 0) {
                received.insert(received.end(), chunk, chunk + n);
            } else if (last) {
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    const std::int32_t written = host.fileWrite(fds[1], data.data(), static_cast<std::uint32_t>(data.size()));
    writeReturned = true;
    reader.join();
    EXPECT_EQ(written, static_cast<std::int32_t>(data.size()));
    EXPECT_EQ(received, data);

    std::thread writer([&] {
        ASSERT_EQ(::write(fds[1], data.data(), 1), 1);  // a read of a single byte, too
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(::write(fds[1], data.data() + 1, 9), 9);
    });
    Bytes back(10, 0);
    const std::int32_t read = host.fileRead(fds[0], back.data(), 10);
    writer.join();
    EXPECT_EQ(read, 10);
    EXPECT_EQ(back, Bytes(data.begin(), data.begin() + 10));
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(PosixFileTest, CloseTwiceReturnsOneBothTimes) {
    ASSERT_EQ(CreaFile(dir_.file("c.bin").c_str(), 0), 1);
    EXPECT_EQ(ChiudiFile(), 1);
    EXPECT_EQ(ChiudiFile(), 1);
}

}  // namespace
