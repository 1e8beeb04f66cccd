// A scriptable host for tests: scripted tick readings, an input stream with
// an arrival rate, an output queue that drains after a set number of
// queries, failing calls, in-memory files, and a record of every call.
//
// Everything lives in fixed arrays, so a test can count heap allocations
// around library calls made through it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "host/host.h"

namespace kavrol::host {

class FakeHost final : public Host {
public:
    enum class Call : std::uint8_t {
        Purge,
        Write,
        Query,
        Read,
        ClearError,
        Tick,
        Wait,
        FileCreate,
        FileOpen,
        FileWrite,
        FileRead,
        FileClose,
    };

    struct Record {
        Call call;
        PortHandle port;    // port calls
        std::uint32_t arg;  // purge flags, byte count, tick value, attribute, wait budget
        FileHandle file;    // file calls: the handle used or returned
        const void* overlapped;
    };

    static constexpr std::size_t kMaxRecords = 4096;
    static constexpr std::size_t kMaxStream = 8192;
    static constexpr std::size_t kMaxTicks = 256;
    static constexpr std::size_t kMaxFiles = 4;
    static constexpr std::size_t kMaxFileSize = 256 * 1024;
    static constexpr std::size_t kMaxOpen = 8;
    static constexpr std::size_t kMaxArrivals = 8;
    // Longest step of a blocking wait that has no deadline.
    static constexpr std::uint32_t kLongestWaitMs = 1000;

    FakeHost();

    // --- scripting --------------------------------------------------------
    // Tick readings returned in order; after the script, each reading adds
    // tickStep to the last value (wrapping).
    void scriptTicks(std::initializer_list<std::uint32_t> ticks);
    void setTick(std::uint32_t now) {
        tickNow_ = now;
        tickStarted_ = false;
        tickCount_ = tickIndex_ = 0;
    }
    std::uint32_t tickStep = 1;

    // Bytes that have arrived on the port (subject to arrivalPerQuery).
    void feed(const std::uint8_t* bytes, std::size_t count);
    void feed(std::initializer_list<std::uint8_t> bytes);
    // Bytes that arrive when the next write happens (a device answering).
    void replyOnWrite(const std::uint8_t* bytes, std::size_t count);
    void replyOnWrite(std::initializer_list<std::uint8_t> bytes);
    // 0: fed bytes are visible at once; n: n more become visible per query.
    std::uint32_t arrivalPerQuery = 0;
    // After a write, the output queue shows the written count for this many
    // queries before it reads 0. outStuck keeps it non-empty for ever.
    std::uint32_t outDrainQueries = 0;
    bool outStuck = false;

    // Waits on the scripted clock: false, a wait returns at once and time
    // moves only by tick readings (a spinning caller); true, a wait moves
    // the clock on by its budget, or only up to the next scheduled arrival.
    bool waitsBlock = false;
    // Bytes that arrive once the clock has moved on by afterMs from now
    // (tick readings and blocking waits both move it).
    void feedAfter(std::uint32_t afterMs, std::initializer_list<std::uint8_t> bytes);
    // The port hangs up: waits, reads and writes report it lost.
    bool lostPort = false;
    // The line takes no bytes: a write sends nothing and runs out of time.
    bool writeStalls = false;
    // Another reader takes the queued input just before a read, which then
    // finds nothing by its deadline.
    bool stealBeforeRead = false;

    bool failQuery = false;
    bool failRead = false;
    // Fails only the n-th read call (1-based) since the last clearRecords(); 0: none.
    std::uint32_t failReadNumber = 0;
    bool failCreate = false;
    bool failFileWrite = false;
    bool failFileRead = false;
    // Largest count one fileWrite moves (a short write); 0 means no limit.
    std::uint32_t fileWriteLimit = 0;

    // Puts a file into the fake file system.
    void addFile(std::string_view path, const std::uint8_t* data, std::size_t size);
    // Content of a fake file, or an empty view if there is none.
    std::basic_string_view<std::uint8_t> fileContent(std::string_view path) const;

    // --- observation ------------------------------------------------------
    std::size_t recordCount() const { return recordCount_; }
    const Record& record(std::size_t i) const { return records_[i]; }
    // Number of recorded calls of one kind.
    std::size_t count(Call call) const;
    // Records with Tick and Wait calls left out, for call-order checks.
    std::size_t portCalls(Record* out, std::size_t max) const;
    void clearRecords() {
        recordCount_ = 0;
        readCalls_ = 0;
        waitCount_ = 0;
    }

    // Every byte handed to write, in order.
    std::basic_string_view<std::uint8_t> written() const { return {written_.data(), writtenCount_}; }
    void clearWritten() { writtenCount_ = 0; }
    // Input bytes not yet read (arrived or not).
    std::size_t pendingInput() const { return inEnd_ - inRead_; }
    // The last wait request, and the first kMaxWaits requests in order.
    const PortWait& lastWait() const { return lastWait_; }
    std::size_t waitCount() const { return std::min(waitCount_, kMaxWaits); }
    const PortWait& wait(std::size_t i) const { return waits_[i]; }
    std::uint32_t lastReadBudget() const { return lastReadBudget_; }
    std::uint32_t lastWriteBudget() const { return lastWriteBudget_; }
    // Set when a read asked for more bytes than had arrived.
    bool overRead = false;
    std::size_t openFileCount() const;

    // --- Host -------------------------------------------------------------
    void purge(PortHandle port, std::uint32_t flags) override;
    PortOutcome write(PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* overlapped,
                      std::uint32_t budgetMs) override;
    bool queryQueues(PortHandle port, QueueCounts& counts) override;
    PortOutcome read(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped,
                     std::uint32_t budgetMs) override;
    PortOutcome waitPort(PortHandle port, const PortWait& wait, std::uint32_t budgetMs) override;
    void clearError(PortHandle port) override;
    std::uint32_t tickMs() override;
    FileHandle fileCreate(const char* path, std::int32_t attribute) override;
    FileHandle fileOpenRead(const char* path) override;
    std::int32_t fileWrite(FileHandle file, const std::uint8_t* data, std::uint32_t count) override;
    std::int32_t fileRead(FileHandle file, std::uint8_t* data, std::uint32_t count) override;
    void fileClose(FileHandle file) override;

private:
    struct File {
        bool used = false;
        std::array<char, 128> path{};
        std::size_t size = 0;
        std::array<std::uint8_t, kMaxFileSize> data{};
    };
    struct Open {
        bool used = false;
        std::size_t file = 0;
        std::size_t pos = 0;
        bool writable = false;
    };

    void log(Call call, PortHandle port, std::uint32_t arg, FileHandle file = kFileError,
             const void* overlapped = nullptr);
    struct Arrival {
        std::uint64_t due = 0;  // clock movement at which the bytes arrive
        std::size_t first = 0;  // in arrivalBytes_
        std::size_t count = 0;
    };

    void append(const std::uint8_t* bytes, std::size_t count);
    void moveClock(std::uint32_t ms);
    void deliverDue();
    // Milliseconds until the next scheduled arrival, or `limit` if later.
    std::uint32_t untilNextArrival(std::uint32_t limit) const;
    File* findFile(std::string_view path);
    const File* findFile(std::string_view path) const;
    Open* openOf(FileHandle file);
    FileHandle openHandle(std::size_t file, bool writable);

    std::array<Record, kMaxRecords> records_{};
    std::size_t recordCount_ = 0;
    std::uint32_t readCalls_ = 0;

    std::array<std::uint32_t, kMaxTicks> ticks_{};
    std::size_t tickCount_ = 0;
    std::size_t tickIndex_ = 0;
    std::uint32_t tickNow_ = 0;
    bool tickStarted_ = false;
    std::uint64_t clockMoved_ = 0;

    std::array<Arrival, kMaxArrivals> arrivals_{};
    std::size_t arrivalCount_ = 0;
    std::array<std::uint8_t, kMaxStream> arrivalBytes_{};
    std::size_t arrivalBytesUsed_ = 0;

    PortWait lastWait_{};
    static constexpr std::size_t kMaxWaits = 64;
    std::array<PortWait, kMaxWaits> waits_{};
    std::size_t waitCount_ = 0;
    std::uint32_t lastReadBudget_ = 0;
    std::uint32_t lastWriteBudget_ = 0;

    std::array<std::uint8_t, kMaxStream> in_{};
    std::size_t inRead_ = 0;
    std::size_t inVisible_ = 0;
    std::size_t inEnd_ = 0;
    std::array<std::uint8_t, kMaxStream> onWrite_{};
    std::size_t onWriteCount_ = 0;

    std::uint32_t outQueue_ = 0;
    std::uint32_t outQueriesLeft_ = 0;

    std::array<std::uint8_t, kMaxStream> written_{};
    std::size_t writtenCount_ = 0;

    std::array<File, kMaxFiles> files_{};
    std::array<Open, kMaxOpen> open_{};
};

}  // namespace kavrol::host
