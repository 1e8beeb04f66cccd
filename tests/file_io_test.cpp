// Block file I/O through the fake host: chunking, short and failed chunks,
// create, open and close.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "link/link_state.h"
#include "support/fake_calls.h"
#include "support/fake_fixture.h"

namespace {

using kavrol::test::bytesOf;
using kavrol::test::FakeCall;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kPath = "block.bin";

Bytes pattern(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 31 + i / 251) & 0xFF);
    return b;
}

class FileIoTest : public kavrol::test::FakeHostTest {
protected:
    // Counts of the chunk calls of one kind, in order.
    std::vector<std::uint32_t> chunks(FakeCall kind) {
        std::vector<std::uint32_t> out;
        for (const auto& r : kavrol::test::portCalls(fake())) {
            if (r.call == kind) out.push_back(r.arg);
        }
        return out;
    }
};

struct ChunkCase {
    const char* name;
    std::int32_t size;
    std::vector<std::uint32_t> chunks;
};

const ChunkCase kChunkCases[] = {
    {"Zero", 0, {}},
    {"Negative", -5, {}},
    {"MostNegative", INT32_MIN, {}},
    {"One", 1, {1}},
    {"OneChunk", 32768, {32768}},
    {"OneChunkAndOne", 32769, {32768, 1}},
    {"Hundred000", 100000, {32768, 32768, 32768, 1696}},
};

class ChunkTest : public FileIoTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(ChunkTest, SaveWritesInChunksOfAtMost32768) {
    const ChunkCase& c = GetParam();
    const Bytes data = pattern(c.size > 0 ? static_cast<std::size_t>(c.size) : 0);
    ASSERT_EQ(CreaFile(kPath, 0), 1);
    EXPECT_EQ(SaveBuffer(data.data(), c.size), 1);
    EXPECT_EQ(chunks(FakeCall::FileWrite), c.chunks);
    EXPECT_EQ(bytesOf(fake().fileContent(kPath)), data);
}

TEST_P(ChunkTest, LoadReadsInChunksOfAtMost32768) {
    const ChunkCase& c = GetParam();
    const Bytes data = pattern(c.size > 0 ? static_cast<std::size_t>(c.size) : 0);
    fake().addFile(kPath, data.data(), data.size());
    ASSERT_EQ(ApriFile(kPath), 1);
    Bytes dest(data.size(), 0);
    EXPECT_EQ(LoadBuffer(dest.data(), c.size), 1);
    EXPECT_EQ(chunks(FakeCall::FileRead), c.chunks);
    EXPECT_EQ(dest, data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ChunkTest, ::testing::ValuesIn(kChunkCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(FileIoTest, ConsecutiveCallsContinueAtTheFilePosition) {
    const Bytes data = pattern(70000);
    ASSERT_EQ(CreaFile(kPath, 0), 1);
    EXPECT_EQ(SaveBuffer(data.data(), 40000), 1);
    EXPECT_EQ(SaveBuffer(data.data() + 40000, 30000), 1);
    EXPECT_EQ(ChiudiFile(), 1);
    EXPECT_EQ(bytesOf(fake().fileContent(kPath)), data);

    ASSERT_EQ(ApriFile(kPath), 1);
    Bytes dest(70000, 0);
    EXPECT_EQ(LoadBuffer(dest.data(), 1), 1);
    EXPECT_EQ(LoadBuffer(dest.data() + 1, 69999), 1);
    EXPECT_EQ(dest, data);
}

TEST_F(FileIoTest, ShortReadAtEndOfFileKeepsTheRestOfTheBlock) {
    const Bytes content = {1, 2, 3, 4};
    fake().addFile(kPath, content.data(), content.size());
    ASSERT_EQ(ApriFile(kPath), 1);
    Bytes dest(10, 0xCC);
    EXPECT_EQ(LoadBuffer(dest.data(), 10), 1);
    EXPECT_EQ(dest, (Bytes{1, 2, 3, 4, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC}));
    // At end of file a further read moves nothing and still succeeds.
    EXPECT_EQ(LoadBuffer(dest.data(), 10), 1);
    EXPECT_EQ(dest, (Bytes{1, 2, 3, 4, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC}));
}

TEST_F(FileIoTest, ShortReadInAnEarlyChunkStillAdvancesByTheChunkSize) {
    // 40000 bytes: the first chunk is full, the second short.
    const Bytes content = pattern(40000);
    fake().addFile(kPath, content.data(), content.size());
    ASSERT_EQ(ApriFile(kPath), 1);
    Bytes dest(100000, 0xCC);
    EXPECT_EQ(LoadBuffer(dest.data(), 100000), 1);
    EXPECT_EQ(chunks(FakeCall::FileRead), (std::vector<std::uint32_t>{32768, 32768, 32768, 1696}));
    EXPECT_TRUE(std::equal(content.begin(), content.end(), dest.begin()));
    EXPECT_TRUE(std::all_of(dest.begin() + 40000, dest.end(), [](std::uint8_t b) { return b == 0xCC; }));
}

TEST_F(FileIoTest, MissingFileFailsAndLoadChangesNothing) {
    EXPECT_EQ(ApriFile("missing.bin"), 0);
    EXPECT_EQ(kavrol::link::libraryState().fileHandle, -1);
    Bytes dest(8, 0x5A);
    EXPECT_EQ(LoadBuffer(dest.data(), 8), 0);
    EXPECT_EQ(dest, Bytes(8, 0x5A));
    EXPECT_EQ(fake().count(FakeCall::FileRead), 0U);
}

TEST_F(FileIoTest, FailedCreateLeavesNoFileOpen) {
    fake().failCreate = true;
    EXPECT_EQ(CreaFile(kPath, 0), 0);
    EXPECT_EQ(kavrol::link::libraryState().fileHandle, -1);
    const Bytes data = pattern(10);
    EXPECT_EQ(SaveBuffer(data.data(), 10), 0);
    EXPECT_EQ(fake().count(FakeCall::FileWrite), 0U);
}

TEST_F(FileIoTest, CreateTruncatesAndPassesTheAttributeThrough) {
    const Bytes old = pattern(100);
    fake().addFile(kPath, old.data(), old.size());
    for (const std::int32_t attribute : {0, 1, 2, 0x22}) {
        EXPECT_EQ(CreaFile(kPath, attribute), 1);
        EXPECT_TRUE(fake().fileContent(kPath).empty());
        const auto calls = kavrol::test::portCalls(fake());
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().call, FakeCall::FileCreate);
        EXPECT_EQ(calls.back().arg, static_cast<std::uint32_t>(attribute));
        EXPECT_EQ(SaveBuffer(old.data(), 3), 1);
    }
}

// Data was lost: every chunk is still attempted, and the result is 0.
struct LossCase {
    const char* name;
    bool failWrite;
    std::uint32_t writeLimit;
    std::int32_t size;
    std::size_t stored;
};

const LossCase kLossCases[] = {
    {"FailingChunks", true, 0, 100000, 0},
    {"ShortSingleChunk", false, 100, 1000, 100},
    {"ShortFirstOfTwoChunks", false, 1000, 32769, 1001},
};

class LossTest : public FileIoTest, public ::testing::WithParamInterface<LossCase> {};

TEST_P(LossTest, SaveReportsLostData) {
    const LossCase& c = GetParam();
    ASSERT_EQ(CreaFile(kPath, 0), 1);
    fake().failFileWrite = c.failWrite;
    fake().fileWriteLimit = c.writeLimit;
    const Bytes data = pattern(static_cast<std::size_t>(c.size));
    EXPECT_EQ(SaveBuffer(data.data(), c.size), 0);
    const std::size_t expectedChunks = (static_cast<std::size_t>(c.size) + 32767) / 32768;
    EXPECT_EQ(chunks(FakeCall::FileWrite).size(), expectedChunks);
    EXPECT_EQ(fake().fileContent(kPath).size(), c.stored);
}

INSTANTIATE_TEST_SUITE_P(Writes, LossTest, ::testing::ValuesIn(kLossCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(FileIoTest, FailingReadChunkReturnsZero) {
    const Bytes content = pattern(50000);
    fake().addFile(kPath, content.data(), content.size());
    ASSERT_EQ(ApriFile(kPath), 1);
    fake().failFileRead = true;
    Bytes dest(50000, 0);
    EXPECT_EQ(LoadBuffer(dest.data(), 50000), 0);
    EXPECT_EQ(chunks(FakeCall::FileRead).size(), 2U);
}

TEST_F(FileIoTest, WriteToAFileOpenedForReadingReturnsZero) {
    const Bytes content = pattern(8);
    fake().addFile(kPath, content.data(), content.size());
    ASSERT_EQ(ApriFile(kPath), 1);
    EXPECT_EQ(SaveBuffer(content.data(), 8), 0);
    EXPECT_EQ(bytesOf(fake().fileContent(kPath)), content);
}

}  // namespace

namespace {

// A null path fails without reaching the host, and the file that was open
// is closed and forgotten.
TEST_F(FileIoTest, NullPathNeverReachesTheHost) {
    ASSERT_EQ(CreaFile(kPath, 0), 1);
    EXPECT_EQ(CreaFile(nullptr, 0), 0);
    EXPECT_EQ(ApriFile(nullptr), 0);
    EXPECT_EQ(fake().count(FakeCall::FileCreate), 1U);
    EXPECT_EQ(fake().count(FakeCall::FileOpen), 0U);
    EXPECT_EQ(fake().openFileCount(), 0U);
    const std::uint8_t byte = 1;
    EXPECT_EQ(SaveBuffer(&byte, 1), 0);
    EXPECT_EQ(fake().count(FakeCall::FileWrite), 0U);
}

}  // namespace
