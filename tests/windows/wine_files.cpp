#include "wine_files.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kavrol::wintest {

namespace {

// The file's size as the system reports it, or -1.
long long fileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) == 0) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void blockRoundTrip(const Library& lib, const std::string& path, Checks& checks) {
    checks.step("file block of 100,000 bytes written in two calls and read back");
    std::vector<std::uint8_t> block(kBlockSize);
    for (unsigned i = 0; i < kBlockSize; ++i) block[i] = blockByte(i);
    checks.equal(lib.creaFile(path.c_str(), 0), 1, "CreaFile");
    // Two calls: the second continues where the first stopped, and each
    // spans a chunk boundary (40,000 = 32,768 + 7,232).
    checks.equal(lib.saveBuffer(block.data(), 40000), 1, "SaveBuffer first part");
    checks.equal(lib.saveBuffer(block.data() + 40000, kBlockSize - 40000), 1, "SaveBuffer second part");
    checks.equal(lib.chiudiFile(), 1, "ChiudiFile");
    checks.equal(fileSize(path), kBlockSize, "file size on the drive");

    checks.equal(lib.apriFile(path.c_str()), 1, "ApriFile");
    std::vector<std::uint8_t> back(kBlockSize, 0xEE);
    checks.equal(lib.loadBuffer(back.data(), static_cast<std::int32_t>(kBlockSize)), 1, "LoadBuffer");
    checks.check(back == block, "the block read back differs from the block written");
    // At the end of the file a read moves nothing and the block keeps its content.
    std::uint8_t tail[10];
    std::memset(tail, 0x77, sizeof tail);
    checks.equal(lib.loadBuffer(tail, sizeof tail), 1, "LoadBuffer at the end of the file");
    checks.check(tail[0] == 0x77 && tail[9] == 0x77, "LoadBuffer at the end of the file changed the block");
    checks.equal(lib.chiudiFile(), 1, "ChiudiFile");
    checks.equal(lib.chiudiFile(), 1, "ChiudiFile a second time");
}

void missingFile(const Library& lib, const std::string& path, Checks& checks) {
    checks.step("opening a missing file fails and reads change nothing");
    checks.equal(lib.apriFile(path.c_str()), 0, "ApriFile of a missing file");
    std::uint8_t data[16];
    std::memset(data, 0x33, sizeof data);
    checks.equal(lib.loadBuffer(data, sizeof data), 0, "LoadBuffer without an open file");
    checks.check(data[0] == 0x33 && data[15] == 0x33, "LoadBuffer without an open file changed the block");
}

void createTruncates(const Library& lib, const std::string& path, Checks& checks) {
    checks.step("creating an existing file truncates it");
    const std::uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    checks.equal(lib.creaFile(path.c_str(), 0), 1, "CreaFile");
    checks.equal(lib.saveBuffer(ten, sizeof ten), 1, "SaveBuffer");
    checks.equal(lib.chiudiFile(), 1, "ChiudiFile");
    checks.equal(fileSize(path), 10, "file size after the first write");
    checks.equal(lib.creaFile(path.c_str(), 0), 1, "CreaFile of the existing file");
    checks.equal(lib.chiudiFile(), 1, "ChiudiFile");
    checks.equal(fileSize(path), 0, "file size after creating it again");
}

void readOnlyAttribute(const Library& lib, const std::string& path, Checks& checks) {
    checks.step("attribute 1 creates a read-only file that the handle still writes");
    const std::uint8_t four[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    checks.equal(lib.creaFile(path.c_str(), 1), 1, "CreaFile with attribute 1");
    checks.equal(lib.saveBuffer(four, sizeof four), 1, "SaveBuffer");
    checks.equal(lib.chiudiFile(), 1, "ChiudiFile");
    checks.equal(fileSize(path), 4, "file size");
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    checks.check(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0,
                 "the file is not read-only (attributes 0x%lX)", attributes);
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileA(path.c_str());
}

}  // namespace

void testFileCalls(const Library& lib, const char* dir, Checks& checks) {
    const std::string base = std::string(dir) + "\\";
    blockRoundTrip(lib, base + "block.bin", checks);
    missingFile(lib, base + "missing.bin", checks);
    createTruncates(lib, base + "truncated.bin", checks);
    readOnlyAttribute(lib, base + "readonly.bin", checks);
}

}  // namespace kavrol::wintest
