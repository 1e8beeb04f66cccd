// A line's unsent messages: filled by the line's thread, emptied by the MQTT
// thread while the broker takes them. At most `limit` are held; when it is
// full the oldest reply gives way and is counted as dropped. Messages that
// must not be lost (command replies) are never dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "common/wakeup.h"

namespace kavrol::gateway {

using tools::Wakeup;

struct Message {
    std::string topic;
    std::string payload;
    bool retain = false;
    bool droppable = true;
    std::string correlation;  // MQTT v5 correlation data; empty: none
};

// Moves the front element out of a queue the caller has locked; nothing when
// the queue is empty.
template <typename T>
std::optional<T> takeFront(std::deque<T>& queue) {
    if (queue.empty()) return std::nullopt;
    T front = std::move(queue.front());
    queue.pop_front();
    return front;
}

class Outbox {
public:
    Outbox(std::size_t limit, const Wakeup& wakeup);

    void push(Message m);
    // The oldest message, taken out.
    std::optional<Message> pop();
    // Puts a message that could not go out back at the front.
    void unpop(Message m);

    std::size_t depth() const;
    std::uint64_t dropped() const;

private:
    const std::size_t limit_;
    const Wakeup& wakeup_;
    mutable std::mutex mutex_;
    std::deque<Message> queue_;
    std::uint64_t dropped_ = 0;
};

}  // namespace kavrol::gateway
