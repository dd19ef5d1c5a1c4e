#pragma once
// A command's whole walk, or one look-up, runs on a worker of its own while
// the window's thread waits, keeping the window alive and on screen, dropping
// input and, after a moment, showing it busy. Whatever ends the wait before
// the worker (a close, a failure on the window's thread, a look-up given up
// on) stops the worker, which may still be in a call that never answers: it
// is given copies and shared pointers only, never the window's objects.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "archive_scan.h"

namespace quelmar {

// What a walk's worker and the window's thread share. As the walk's progress
// it hands the lines found so far over every `interval`, and stops the walk
// once asked.
struct WorkerLink : WalkProgress {
    std::stop_source stop;  // reaches the walk and its readers at once
    std::atomic<bool> ended{false};  // the work is over: what it wrote may be read
    std::mutex mutex;
    std::string lines;  // for the window to show
    std::chrono::milliseconds interval{0};
    std::chrono::steady_clock::time_point handedAt{};  // the worker's own
    bool keepGoing(const std::string& list) override;
};

// Runs `work` on a worker and waits, the window busy. True once it has ended
// (its failure rethrown here); false when `giveUpAfter` passed first, or
// when too many look-ups given up on are still in their calls to start one
// more. A close meanwhile, also one the last keep-alive met, raises
// WalkStopped.
bool WaitOffWindow(FormState& state, WindowOps& window, std::function<void()> work,
                   const std::shared_ptr<WorkerLink>& link = nullptr,
                   std::optional<std::chrono::milliseconds> giveUpAfter = std::nullopt);

// One call off the window's thread, and what it returns; with a limit,
// nothing when it has not answered by then.
template <typename Call>
auto OffTheWindowThread(FormState& state, WindowOps& window, Call call,
                        std::optional<std::chrono::milliseconds> giveUpAfter = std::nullopt) {
    using Result = std::optional<decltype(call())>;
    auto result = std::make_shared<Result>();
    const auto work = [call, result]() mutable { result->emplace(call()); };
    // Given up, the worker may still write its answer: it is never read.
    if (!WaitOffWindow(state, window, work, nullptr, giveUpAfter)) return Result();
    return std::move(*result);
}

}  // namespace quelmar
