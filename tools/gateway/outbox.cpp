#include "gateway/outbox.h"

#include <algorithm>

namespace kavrol::gateway {

Outbox::Outbox(std::size_t limit, const Wakeup& wakeup) : limit_(limit), wakeup_(wakeup) {}

void Outbox::push(Message m) {
    bool wasEmpty = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        wasEmpty = queue_.empty();
        if (queue_.size() >= limit_) {
            const auto oldest =
                std::find_if(queue_.begin(), queue_.end(), [](const Message& q) { return q.droppable; });
            if (oldest != queue_.end()) {
                queue_.erase(oldest);
                ++dropped_;
            } else if (m.droppable) {
                ++dropped_;
                return;
            }
        }
        queue_.push_back(std::move(m));
    }
    // The MQTT thread empties the queue whenever it can; it needs waking
    // only when there was nothing to empty.
    if (wasEmpty) wakeup_.notify();
}

std::optional<Message> Outbox::pop() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return takeFront(queue_);
}

void Outbox::unpop(Message m) {
    const std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_front(std::move(m));
}

std::size_t Outbox::depth() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

std::uint64_t Outbox::dropped() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

}  // namespace kavrol::gateway
