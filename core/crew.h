#pragma once
// Threads kept for the life of the process, each taking one piece of work
// after another. None ever ends: MinGW-w64's thread library may never start
// a thread made soon after a detached one ended (seen under Wine, where the
// window then waited for it for ever), and one stuck in a call that never
// answers is never waited for. A crew is never destroyed, for the same
// reason.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace quelmar {

class Crew {
public:
    Crew(unsigned mostThreads, std::size_t mostQueued) : mostThreads_(mostThreads), mostQueued_(mostQueued) {}

    // Queues `work` for a free thread, starting one where none is free and
    // the crew may grow. False, and nothing queued, when the queue is full
    // or a thread was needed and could not start. `work` must not throw.
    bool offer(std::function<void()> work);
    unsigned busy();  // threads at work or about to be, stuck ones included

private:
    [[noreturn]] void serve();

    const unsigned mostThreads_;
    const std::size_t mostQueued_;
    std::mutex mutex_;
    std::condition_variable handed_;
    std::deque<std::function<void()>> queue_;
    unsigned threads_ = 0;
    unsigned waiting_ = 0;  // threads waiting for work
};

}  // namespace quelmar
