// Block file calls on paths that are no regular files, null paths, and the
// size rule, on the real POSIX file system.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "host/host.h"
#include "kavrol32/kavrol32.h"
#include "link/link_state.h"
#include "support/bounded_child.h"
#include "support/temp_dir.h"

namespace {

using kavrol::test::exitStatusWithin;

class FileGuardTest : public ::testing::Test {
protected:
    FileGuardTest() { reset(); }
    ~FileGuardTest() override {
        ChiudiFile();
        reset();
    }
    static void reset() {
        kavrol::host::install(nullptr);
        kavrol::link::libraryState() = kavrol::link::LibraryState{};
    }
    kavrol::test::TempDir dir_;
};

// Neither call may block on a FIFO that nobody writes or reads, and neither
// accepts it; a character device and a directory are refused as well.
TEST_F(FileGuardTest, NonRegularPathsAreRefusedWithoutBlocking) {
    const std::string fifo = dir_.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string dir = dir_.file("");
    const auto status = exitStatusWithin(
        [&] {
            if (ApriFile(fifo.c_str()) != 0) return 1;
            if (CreaFile(fifo.c_str(), 0) != 0) return 2;
            std::uint8_t block[4] = {1, 2, 3, 4};
            if (SaveBuffer(block, 4) != 0) return 3;
            if (ApriFile("/dev/null") != 0 || CreaFile("/dev/null", 0) != 0) return 4;
            if (ApriFile(dir.c_str()) != 0 || CreaFile(dir.c_str(), 0) != 0) return 5;
            return kavrol::link::libraryState().fileHandle == kavrol::host::kFileError ? 0 : 6;
        },
        5000);
    ASSERT_TRUE(status.has_value()) << "a file call blocked on a FIFO";
    EXPECT_EQ(*status, 0);
}

TEST_F(FileGuardTest, CreateStillTruncatesARegularFileAndKeepsItReadable) {
    const std::string path = dir_.file("old.bin");
    std::ofstream(path, std::ios::binary) << "old content";
    ASSERT_EQ(CreaFile(path.c_str(), 0), 1);
    const std::uint8_t data[3] = {7, 8, 9};
    EXPECT_EQ(SaveBuffer(data, 3), 1);
    ASSERT_EQ(ChiudiFile(), 1);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3);
    ASSERT_EQ(ApriFile(path.c_str()), 1);
    std::uint8_t back[3] = {};
    EXPECT_EQ(LoadBuffer(back, 3), 1);
    EXPECT_EQ(std::vector<std::uint8_t>(back, back + 3), (std::vector<std::uint8_t>{7, 8, 9}));
}

TEST_F(FileGuardTest, NullPathFailsAndClosesTheFileThatWasOpen) {
    const std::string path = dir_.file("open.bin");
    ASSERT_EQ(CreaFile(path.c_str(), 0), 1);
    EXPECT_EQ(ApriFile(nullptr), 0);
    EXPECT_EQ(kavrol::link::libraryState().fileHandle, kavrol::host::kFileError);
    ASSERT_EQ(CreaFile(path.c_str(), 0), 1);
    EXPECT_EQ(CreaFile(nullptr, 0), 0);
    EXPECT_EQ(kavrol::link::libraryState().fileHandle, kavrol::host::kFileError);
}

// The size rule: without an open file every block call gives 0; with one,
// a size <= 0 moves nothing and gives 1.
struct SizeCase {
    const char* name;
    bool fileOpen;
    bool save;
    std::int32_t size;
    std::int32_t result;
};

const SizeCase kSizeCases[] = {
    {"NoFileSaveZero", false, true, 0, 0},      {"NoFileLoadZero", false, false, 0, 0},
    {"NoFileSaveNegative", false, true, -1, 0}, {"NoFileLoadNegative", false, false, -1, 0},
    {"NoFileSaveSome", false, true, 4, 0},      {"NoFileLoadSome", false, false, 4, 0},
    {"OpenSaveZero", true, true, 0, 1},         {"OpenLoadZero", true, false, 0, 1},
    {"OpenSaveNegative", true, true, -7, 1},    {"OpenLoadMostNegative", true, false, INT32_MIN, 1},
};

class SizeRuleTest : public FileGuardTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(SizeRuleTest, ResultAndNothingMoved) {
    const SizeCase& c = GetParam();
    const std::string path = dir_.file("sized.bin");
    std::ofstream(path, std::ios::binary) << "abcd";
    if (c.fileOpen) {
        ASSERT_EQ(c.save ? CreaFile(path.c_str(), 0) : ApriFile(path.c_str()), 1);
    }
    std::uint8_t block[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(c.save ? SaveBuffer(block, c.size) : LoadBuffer(block, c.size), c.result);
    EXPECT_EQ(std::string(block, block + 4), "wxyz");
    ChiudiFile();
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, c.fileOpen && c.save ? 0 : 4);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SizeRuleTest, ::testing::ValuesIn(kSizeCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

}  // namespace
