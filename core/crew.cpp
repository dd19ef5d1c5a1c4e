#include "crew.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace quelmar {

bool Crew::offer(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= mostQueued_) return false;
    queue_.push_back(std::move(work));
    // More work queued than threads waiting for it: one more thread, if
    // the crew may grow; else the next thread to be done takes it.
    if (queue_.size() > waiting_ && threads_ < mostThreads_) {
        try {
            std::thread([this] { serve(); }).detach();
        } catch (...) {
            queue_.pop_back();
            return false;
        }
        ++threads_;
    }
    handed_.notify_one();
    return true;
}

unsigned Crew::busy() {
    std::lock_guard lock(mutex_);
    return threads_ - waiting_ + static_cast<unsigned>(std::min<std::size_t>(queue_.size(), waiting_));
}

void Crew::serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++waiting_;
        handed_.wait(lock, [&] { return !queue_.empty(); });
        --waiting_;
        std::function<void()> work = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        work();
        work = nullptr;  // what it holds goes now, not with the next piece
        lock.lock();
    }
}

}  // namespace quelmar
