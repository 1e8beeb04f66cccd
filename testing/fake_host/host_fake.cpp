#include "fake_host/host_fake.h"

#include <algorithm>
#include <cstring>

namespace kavrol::host {

namespace {
constexpr FileHandle kFirstFileHandle = 3;
}

FakeHost::FakeHost() = default;

void FakeHost::scriptTicks(std::initializer_list<std::uint32_t> ticks) {
    tickCount_ = std::min(ticks.size(), kMaxTicks);
    std::copy_n(ticks.begin(), tickCount_, ticks_.begin());
    tickIndex_ = 0;
}

void FakeHost::append(const std::uint8_t* bytes, std::size_t count) {
    const std::size_t room = kMaxStream - inEnd_;
    const std::size_t n = std::min(count, room);
    if (n != 0) std::memcpy(in_.data() + inEnd_, bytes, n);
    inEnd_ += n;
    if (arrivalPerQuery == 0) inVisible_ = inEnd_;
}

void FakeHost::feed(const std::uint8_t* bytes, std::size_t count) {
    // Compact the stream so long runs of transactions never run out of room.
    if (inRead_ == inEnd_) inRead_ = inVisible_ = inEnd_ = 0;
    append(bytes, count);
}

void FakeHost::feed(std::initializer_list<std::uint8_t> bytes) { feed(bytes.begin(), bytes.size()); }

void FakeHost::replyOnWrite(const std::uint8_t* bytes, std::size_t count) {
    const std::size_t n = std::min(count, kMaxStream - onWriteCount_);
    if (n != 0) std::memcpy(onWrite_.data() + onWriteCount_, bytes, n);
    onWriteCount_ += n;
}

void FakeHost::replyOnWrite(std::initializer_list<std::uint8_t> bytes) { replyOnWrite(bytes.begin(), bytes.size()); }

void FakeHost::feedAfter(std::uint32_t afterMs, std::initializer_list<std::uint8_t> bytes) {
    if (arrivalCount_ == kMaxArrivals || bytes.size() > kMaxStream - arrivalBytesUsed_) return;
    arrivals_[arrivalCount_++] = Arrival{clockMoved_ + afterMs, arrivalBytesUsed_, bytes.size()};
    std::copy(bytes.begin(), bytes.end(), arrivalBytes_.begin() + static_cast<std::ptrdiff_t>(arrivalBytesUsed_));
    arrivalBytesUsed_ += bytes.size();
}

void FakeHost::moveClock(std::uint32_t ms) {
    tickNow_ += ms;
    clockMoved_ += ms;
    deliverDue();
}

// Arrivals are kept in the order they were scheduled; each is delivered
// once the clock has moved far enough.
void FakeHost::deliverDue() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < arrivalCount_; ++i) {
        const Arrival& a = arrivals_[i];
        if (a.due <= clockMoved_) {
            feed(arrivalBytes_.data() + a.first, a.count);
        } else {
            arrivals_[kept++] = a;
        }
    }
    arrivalCount_ = kept;
}

std::uint32_t FakeHost::untilNextArrival(std::uint32_t limit) const {
    std::uint64_t until = limit;
    for (std::size_t i = 0; i < arrivalCount_; ++i) until = std::min(until, arrivals_[i].due - clockMoved_);
    return static_cast<std::uint32_t>(until);
}

void FakeHost::log(Call call, PortHandle port, std::uint32_t arg, FileHandle file, const void* overlapped) {
    if (recordCount_ < kMaxRecords) records_[recordCount_] = Record{call, port, arg, file, overlapped};
    ++recordCount_;
}

std::size_t FakeHost::count(Call call) const {
    const std::size_t n = std::min(recordCount_, kMaxRecords);
    return static_cast<std::size_t>(std::count_if(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(n),
                                                  [call](const Record& r) { return r.call == call; }));
}

std::size_t FakeHost::portCalls(Record* out, std::size_t max) const {
    std::size_t k = 0;
    const std::size_t n = std::min(recordCount_, kMaxRecords);
    for (std::size_t i = 0; i < n && k < max; ++i) {
        if (records_[i].call != Call::Tick && records_[i].call != Call::Wait) out[k++] = records_[i];
    }
    return k;
}

void FakeHost::purge(PortHandle port, std::uint32_t flags) {
    log(Call::Purge, port, flags);
    if ((flags & kPurgeReceive) != 0) inRead_ = inVisible_ = inEnd_ = 0;
    if ((flags & kPurgeTransmit) != 0) outQueue_ = 0;
}

PortOutcome FakeHost::write(PortHandle port, const std::uint8_t* bytes, std::uint32_t count, void* overlapped,
                            std::uint32_t budgetMs) {
    log(Call::Write, port, count, kFileError, overlapped);
    lastWriteBudget_ = budgetMs;
    if (lostPort) return PortOutcome::Lost;
    if (writeStalls) return PortOutcome::TimedOut;
    const std::size_t n = std::min<std::size_t>(count, kMaxStream - writtenCount_);
    std::memcpy(written_.data() + writtenCount_, bytes, n);
    writtenCount_ += n;
    outQueue_ = count;
    outQueriesLeft_ = outDrainQueries;
    if (onWriteCount_ > 0) {
        feed(onWrite_.data(), onWriteCount_);
        onWriteCount_ = 0;
    }
    return PortOutcome::Done;
}

bool FakeHost::queryQueues(PortHandle port, QueueCounts& counts) {
    log(Call::Query, port, 0);
    deliverDue();
    if (failQuery) return false;
    if (arrivalPerQuery != 0) inVisible_ = std::min(inEnd_, inVisible_ + arrivalPerQuery);
    if (outQueue_ != 0 && !outStuck) {
        if (outQueriesLeft_ == 0) {
            outQueue_ = 0;
        } else {
            --outQueriesLeft_;
        }
    }
    counts.inQueue = static_cast<std::uint32_t>(inVisible_ - inRead_);
    counts.outQueue = outQueue_;
    return true;
}

PortOutcome FakeHost::read(PortHandle port, std::uint8_t* dest, std::uint32_t count, void* overlapped,
                           std::uint32_t budgetMs) {
    log(Call::Read, port, count, kFileError, overlapped);
    lastReadBudget_ = budgetMs;
    ++readCalls_;
    if (lostPort) return PortOutcome::Lost;
    if (failRead || readCalls_ == failReadNumber) return PortOutcome::Failed;
    if (stealBeforeRead) {
        inRead_ = inVisible_;
        if (waitsBlock) moveClock(budgetMs);
        return PortOutcome::Failed;
    }
    const std::size_t available = inVisible_ - inRead_;
    if (count > available) overRead = true;
    const std::size_t n = std::min<std::size_t>(count, available);
    std::memcpy(dest, in_.data() + inRead_, n);
    inRead_ += n;
    return PortOutcome::Done;
}

PortOutcome FakeHost::waitPort(PortHandle port, const PortWait& wait, std::uint32_t budgetMs) {
    log(Call::Wait, port, budgetMs);
    lastWait_ = wait;
    if (waitCount_ < kMaxWaits) waits_[waitCount_] = wait;
    ++waitCount_;
    if (lostPort) return PortOutcome::Lost;
    if (waitsBlock) {
        // The scripted clock moves in whole milliseconds: at least one.
        const std::uint32_t step = budgetMs == kNoDeadline ? kLongestWaitMs : std::max(budgetMs, 1U);
        moveClock(wait.kind == PortWait::Kind::Input ? untilNextArrival(step) : step);
    }
    return PortOutcome::Done;
}

void FakeHost::clearError(PortHandle port) { log(Call::ClearError, port, 0); }

std::uint32_t FakeHost::tickMs() {
    std::uint32_t now = 0;
    if (tickIndex_ < tickCount_) {
        now = ticks_[tickIndex_++];
    } else if (!tickStarted_ && tickCount_ == 0) {
        now = tickNow_;
    } else {
        now = tickNow_ + tickStep;
    }
    tickStarted_ = true;
    clockMoved_ += now - tickNow_;
    tickNow_ = now;
    log(Call::Tick, nullptr, now);
    return now;
}

FakeHost::File* FakeHost::findFile(std::string_view path) {
    for (auto& f : files_) {
        if (f.used && path == std::string_view(f.path.data())) return &f;
    }
    return nullptr;
}

const FakeHost::File* FakeHost::findFile(std::string_view path) const {
    return const_cast<FakeHost*>(this)->findFile(path);
}

void FakeHost::addFile(std::string_view path, const std::uint8_t* data, std::size_t size) {
    File* f = findFile(path);
    if (f == nullptr) {
        f = std::find_if(files_.begin(), files_.end(), [](const File& x) { return !x.used; });
        if (f == files_.end()) return;
        f->used = true;
        const std::size_t n = std::min(path.size(), f->path.size() - 1);
        std::memcpy(f->path.data(), path.data(), n);
        f->path[n] = '\0';
    }
    f->size = std::min(size, kMaxFileSize);
    if (data != nullptr) std::memcpy(f->data.data(), data, f->size);
}

std::basic_string_view<std::uint8_t> FakeHost::fileContent(std::string_view path) const {
    const File* f = findFile(path);
    if (f == nullptr) return {};
    return {f->data.data(), f->size};
}

FakeHost::Open* FakeHost::openOf(FileHandle file) {
    const auto i = static_cast<std::size_t>(file - kFirstFileHandle);
    if (file < kFirstFileHandle || i >= kMaxOpen || !open_[i].used) return nullptr;
    return &open_[i];
}

FileHandle FakeHost::openHandle(std::size_t file, bool writable) {
    for (std::size_t i = 0; i < kMaxOpen; ++i) {
        if (!open_[i].used) {
            open_[i] = Open{true, file, 0, writable};
            return kFirstFileHandle + static_cast<FileHandle>(i);
        }
    }
    return kFileError;
}

std::size_t FakeHost::openFileCount() const {
    return static_cast<std::size_t>(std::count_if(open_.begin(), open_.end(), [](const Open& o) { return o.used; }));
}

FileHandle FakeHost::fileCreate(const char* path, std::int32_t attribute) {
    FileHandle h = kFileError;
    if (!failCreate) {
        addFile(path, nullptr, 0);
        File* f = findFile(path);
        if (f != nullptr) h = openHandle(static_cast<std::size_t>(f - files_.data()), true);
    }
    log(Call::FileCreate, nullptr, static_cast<std::uint32_t>(attribute), h);
    return h;
}

FileHandle FakeHost::fileOpenRead(const char* path) {
    FileHandle h = kFileError;
    File* f = findFile(path);
    if (f != nullptr) h = openHandle(static_cast<std::size_t>(f - files_.data()), false);
    log(Call::FileOpen, nullptr, 0, h);
    return h;
}

std::int32_t FakeHost::fileWrite(FileHandle file, const std::uint8_t* data, std::uint32_t count) {
    log(Call::FileWrite, nullptr, count, file);
    Open* o = openOf(file);
    if (o == nullptr || !o->writable || failFileWrite) return -1;
    File& f = files_[o->file];
    std::size_t n = fileWriteLimit != 0 ? std::min<std::size_t>(count, fileWriteLimit) : count;
    n = std::min(n, kMaxFileSize - std::min(o->pos, kMaxFileSize));
    std::memcpy(f.data.data() + o->pos, data, n);
    o->pos += n;
    f.size = std::max(f.size, o->pos);
    return static_cast<std::int32_t>(n);
}

std::int32_t FakeHost::fileRead(FileHandle file, std::uint8_t* data, std::uint32_t count) {
    log(Call::FileRead, nullptr, count, file);
    Open* o = openOf(file);
    if (o == nullptr || failFileRead) return -1;
    const File& f = files_[o->file];
    const std::size_t n = std::min<std::size_t>(count, f.size - std::min(o->pos, f.size));
    std::memcpy(data, f.data.data() + o->pos, n);
    o->pos += n;
    return static_cast<std::int32_t>(n);
}

void FakeHost::fileClose(FileHandle file) {
    log(Call::FileClose, nullptr, 0, file);
    Open* o = openOf(file);
    if (o != nullptr) o->used = false;
}

}  // namespace kavrol::host
