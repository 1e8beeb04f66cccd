#include "util/file_io.h"

#include "host/host.h"
#include "link/link_state.h"

namespace kavrol::util {

namespace {

host::FileHandle& fileHandle() { return link::libraryState().fileHandle; }

// Closes the open file, if any, and forgets its handle so that no later call
// can reach a descriptor the system has since given to someone else.
void closeOpenFile() {
    host::FileHandle& handle = fileHandle();
    if (handle != host::kFileError) host::current().fileClose(handle);
    handle = host::kFileError;
}

std::int32_t replaceHandle(host::FileHandle opened) {
    fileHandle() = opened;
    return opened != host::kFileError ? 1 : 0;
}

// Moves size bytes in chunks of at most kChunkSize. Every chunk is attempted
// whatever happened to the one before, and data advances by the chunk size.
// `move` returns false when the chunk lost data; the result is then 0.
template <typename Pointer, typename Move>
std::int32_t moveInChunks(Pointer data, std::int32_t size, Move move) {
    bool intact = true;
    while (size > 0) {
        const std::int32_t chunk = size > kChunkSize ? kChunkSize : size;
        size -= chunk;
        if (!move(data, static_cast<std::uint32_t>(chunk))) intact = false;
        data += chunk;
    }
    return intact ? 1 : 0;
}

}  // namespace

// A null path fails like a path that cannot be opened, without reaching
// the system.
std::int32_t createFile(const char* path, std::int32_t attribute) {
    closeOpenFile();
    if (path == nullptr) return replaceHandle(host::kFileError);
    return replaceHandle(host::current().fileCreate(path, attribute));
}

std::int32_t openFile(const char* path) {
    closeOpenFile();
    if (path == nullptr) return replaceHandle(host::kFileError);
    return replaceHandle(host::current().fileOpenRead(path));
}

std::int32_t closeFile() {
    closeOpenFile();
    return 1;
}

// Without an open file both block calls give 0, whatever the size; with
// one, a size <= 0 moves nothing and gives 1.
std::int32_t saveBuffer(const std::uint8_t* data, std::int32_t size) {
    const host::FileHandle handle = fileHandle();
    if (handle == host::kFileError) return 0;
    return moveInChunks(data, size, [handle](const std::uint8_t* p, std::uint32_t n) {
        return host::current().fileWrite(handle, p, n) == static_cast<std::int32_t>(n);
    });
}

std::int32_t loadBuffer(std::uint8_t* data, std::int32_t size) {
    const host::FileHandle handle = fileHandle();
    if (handle == host::kFileError) return 0;
    return moveInChunks(data, size, [handle](std::uint8_t* p, std::uint32_t n) {
        // A short read at end of file is not a loss: the rest keeps its content.
        return host::current().fileRead(handle, p, n) >= 0;
    });
}

}  // namespace kavrol::util
