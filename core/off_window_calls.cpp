#include "off_window_calls.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "archive_scan.h"

namespace quelmar {

// One call at a time goes from the caller to the helper and back. Each side
// first looks for the other's move for a moment before it sleeps: a walk
// deleting thousands of archives hands over two calls for each, and a
// wake-up for every one of them would cost more than the calls themselves.
struct OffWindowCalls::Shared {
    std::mutex mutex;
    std::condition_variable wake;  // the helper sleeps here, waiting for a call
    std::condition_variable done;  // the caller sleeps here, waiting for its answer
    std::function<void()> call;
    std::exception_ptr failure;
    std::atomic<std::uint64_t> posted{0};    // number of the last call handed over
    std::atomic<std::uint64_t> answered{0};  // number of the last call answered
    bool helperAsleep = false;
    bool quit = false;
};

namespace {

// How long each side looks for the other's move before it sleeps.
constexpr auto kLookFor = std::chrono::microseconds(100);

template <typename Condition>
bool lookFor(const Condition& condition) {
    const auto until = std::chrono::steady_clock::now() + kLookFor;
    for (unsigned i = 0;; ++i) {
        if (condition()) return true;
        if (i % 16 == 15 && std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::yield();
    }
}

void serve(const std::shared_ptr<OffWindowCalls::Shared>& shared) {
    std::uint64_t seen = 0;
    for (;;) {
        lookFor([&] { return shared->posted.load(std::memory_order_acquire) != seen; });
        std::unique_lock lock(shared->mutex);
        while (shared->posted.load() == seen && !shared->quit) {
            shared->helperAsleep = true;
            shared->wake.wait(lock);
            shared->helperAsleep = false;
        }
        if (shared->posted.load() == seen) return;  // told to quit, nothing left to do
        seen = shared->posted.load();
        auto call = std::move(shared->call);
        shared->call = nullptr;
        lock.unlock();
        std::exception_ptr failure;
        try {
            call();
        } catch (...) {
            failure = std::current_exception();
        }
        call = nullptr;  // what it holds goes here, not in whoever is left waiting
        lock.lock();
        shared->failure = failure;
        shared->answered.store(seen, std::memory_order_release);
        shared->done.notify_one();
    }
}

}  // namespace

OffWindowCalls::OffWindowCalls(std::chrono::milliseconds patience, std::chrono::milliseconds interval,
                               std::function<bool()> keepAlive)
    : patience_(patience), interval_(std::max(interval, std::chrono::milliseconds(1))), keepAlive_(std::move(keepAlive)) {}

OffWindowCalls::~OffWindowCalls() {
    if (!shared_) return;
    std::lock_guard lock(shared_->mutex);
    shared_->quit = true;
    shared_->wake.notify_one();
}

void OffWindowCalls::runErased(std::function<void()> call) {
    if (!shared_) {
        // One helper for every call of this command, started on the first;
        // it ends when told to, or once the call it was left in returns.
        shared_ = std::make_shared<Shared>();
        std::thread([shared = shared_] { serve(shared); }).detach();
    }
    std::uint64_t number = 0;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->call = std::move(call);
        number = shared_->posted.load() + 1;
        shared_->posted.store(number, std::memory_order_release);
        if (shared_->helperAsleep) shared_->wake.notify_one();
    }
    const auto isAnswered = [&] { return shared_->answered.load(std::memory_order_acquire) == number; };
    if (!lookFor(isAnswered)) {
        std::unique_lock lock(shared_->mutex);
        auto wait = patience_;
        while (!shared_->done.wait_for(lock, wait, isAnswered)) {
            lock.unlock();
            const bool goOn = keepAlive_();
            lock.lock();
            if (!goOn && !isAnswered()) {
                // Left in its call; the next call, if any, gets a helper of
                // its own.
                shared_->quit = true;
                shared_.reset();
                throw WalkStopped();
            }
            wait = interval_;
        }
    }
    std::lock_guard lock(shared_->mutex);
    if (auto failure = std::exchange(shared_->failure, nullptr)) std::rethrow_exception(failure);
}

}  // namespace quelmar
