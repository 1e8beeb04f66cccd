// A host that passes every call to the platform host and keeps a copy of
// the bytes written to and read from the port, so that the client can show
// the frames of a transaction that it ran through the public interface.
#pragma once

#include <cstdint>
#include <vector>

#include "host/host.h"

namespace kavrol::cli {

class RecordingHost final : public host::Host {
public:
    RecordingHost() : inner_(host::platform()) {}

    void clear() {
        sent.clear();
        received.clear();
    }

    std::vector<std::uint8_t> sent;      // every byte handed to the port
    std::vector<std::uint8_t> received;  // every byte read from it

    void purge(host::PortHandle port, std::uint32_t flags) override { inner_.purge(port, flags); }
    host::PortOutcome write(host::PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* overlapped,
                            std::uint32_t budgetMs) override {
        sent.insert(sent.end(), bytes, bytes + count);
        return inner_.write(port, bytes, count, overlapped, budgetMs);
    }
    bool queryQueues(host::PortHandle port, host::QueueCounts& counts) override {
        return inner_.queryQueues(port, counts);
    }
    host::PortOutcome read(host::PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped,
                           std::uint32_t budgetMs) override {
        const host::PortOutcome got = inner_.read(port, dest, count, overlapped, budgetMs);
        if (got == host::PortOutcome::Done) received.insert(received.end(), dest, dest + count);
        return got;
    }
    host::PortOutcome waitPort(host::PortHandle port, const host::PortWait& wait, std::uint32_t budgetMs) override {
        return inner_.waitPort(port, wait, budgetMs);
    }
    void clearError(host::PortHandle port) override { inner_.clearError(port); }
    std::uint32_t tickMs() override { return inner_.tickMs(); }
    host::FileHandle fileCreate(const char* path, std::int32_t attribute) override {
        return inner_.fileCreate(path, attribute);
    }
    host::FileHandle fileOpenRead(const char* path) override { return inner_.fileOpenRead(path); }
    std::int32_t fileWrite(host::FileHandle file, const std::uint8_t* data, std::uint32_t count) override {
        return inner_.fileWrite(file, data, count);
    }
    std::int32_t fileRead(host::FileHandle file, std::uint8_t* data, std::uint32_t count) override {
        return inner_.fileRead(file, data, count);
    }
    void fileClose(host::FileHandle file) override { inner_.fileClose(file); }

private:
    host::Host& inner_;
};

}  // namespace kavrol::cli
