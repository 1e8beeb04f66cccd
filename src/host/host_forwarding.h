// A host that passes every call to another host; tests and benchmarks
// derive from it to change one call and keep the rest.
#pragma once

#include "host/host.h"

namespace kavrol::host {

class ForwardingHost : public Host {
public:
    explicit ForwardingHost(Host& inner) : inner_(inner) {}

    void purge(PortHandle port, std::uint32_t flags) override { inner_.purge(port, flags); }
    PortOutcome write(PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* overlapped,
                      std::uint32_t budgetMs) override {
        return inner_.write(port, bytes, count, overlapped, budgetMs);
    }
    bool queryQueues(PortHandle port, QueueCounts& counts) override { return inner_.queryQueues(port, counts); }
    bool queryQueue(PortHandle port, PortWait::Kind kind, std::uint32_t& count) override {
        return inner_.queryQueue(port, kind, count);
    }
    PortOutcome read(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped,
                     std::uint32_t budgetMs) override {
        return inner_.read(port, dest, count, overlapped, budgetMs);
    }
    PortOutcome receive(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped,
                        std::uint32_t budgetMs, std::uint32_t& got) override {
        return inner_.receive(port, dest, count, overlapped, budgetMs, got);
    }
    PortOutcome waitPort(PortHandle port, const PortWait& wait, std::uint32_t budgetMs) override {
        return inner_.waitPort(port, wait, budgetMs);
    }
    void clearError(PortHandle port) override { inner_.clearError(port); }
    std::uint32_t tickMs() override { return inner_.tickMs(); }
    FileHandle fileCreate(const char* path, std::int32_t attribute) override {
        return inner_.fileCreate(path, attribute);
    }
    FileHandle fileOpenRead(const char* path) override { return inner_.fileOpenRead(path); }
    std::int32_t fileWrite(FileHandle file, const std::uint8_t* data, std::uint32_t count) override {
        return inner_.fileWrite(file, data, count);
    }
    std::int32_t fileRead(FileHandle file, std::uint8_t* data, std::uint32_t count) override {
        return inner_.fileRead(file, data, count);
    }
    void fileClose(FileHandle file) override { inner_.fileClose(file); }

private:
    Host& inner_;
};

}  // namespace kavrol::host
