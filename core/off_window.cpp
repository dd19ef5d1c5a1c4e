#include "off_window.h"

#include "crew.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <limits>
#include <new>
#include <system_error>
#include <utility>

namespace quelmar {

namespace {

// Look-ups given up on that are still in their calls, in the whole process:
// past a few, the next is not started but taken as not answering, so no
// press of a key or button piles threads up.
constexpr unsigned kMostLeftBehind = 4;
std::atomic<unsigned> leftBehind{0};

// What the window waits for runs on these: one at work at a time, and those
// left behind in their calls.
constexpr unsigned kAsMany = std::numeric_limits<unsigned>::max();
Crew* const workers = new Crew(kAsMany, kAsMany);

}  // namespace

void ForgetWorkersAfterFork() {
    // The parent's workers are not in this process, and their lock may be held.
    new (workers) Crew(kAsMany, kAsMany);
}

bool WaitOffWindow(FormState& state, WindowOps& window, std::function<void()> work,
                   const std::shared_ptr<WorkerLink>& link, std::optional<std::chrono::milliseconds> giveUpAfter) {
    if (giveUpAfter && leftBehind >= kMostLeftBehind) return false;
    window.setBusy(true);
    const std::shared_ptr<void> notBusyAfter(nullptr, [&window](void*) { window.setBusy(false); });
    // A failure is handed over whole: the window's thread, not the worker, frees it.
    struct Outcome {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false, leftBehind = false;
        std::exception_ptr failure;
    };
    auto outcome = std::make_shared<Outcome>();
    const bool handed = workers->offer([outcome, link, work = std::move(work)]() mutable {
        std::exception_ptr failure;
        try {
            std::exchange(work, nullptr)();  // what it holds goes with it, on the worker
        } catch (...) {
            failure = std::current_exception();
        }
        if (link) link->ended = true;
        std::lock_guard lock(outcome->mutex);
        outcome->failure = std::move(failure), outcome->done = true;
        if (outcome->leftBehind) --leftBehind;
        outcome->ended.notify_all();
    });
    if (!handed) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));

    if (link) state.walkStop = std::shared_ptr<std::atomic<bool>>(link, &link->stop);
    // However the wait ends before the worker does, the worker is stopped,
    // and counted as left behind until it ends.
    std::unique_lock lock(outcome->mutex);
    const std::shared_ptr<void> stopUnlessDone(nullptr, [&](void*) {
        state.walkStop = nullptr;
        if (!lock.owns_lock()) lock.lock();
        if (outcome->done) return;
        if (link) link->stop = true;
        outcome->leftBehind = true;
        ++leftBehind;
    });
    const auto started = std::chrono::steady_clock::now();
    auto shownAt = started;
    std::size_t shownSize = 0;
    bool busyShown = false;
    while (!outcome->ended.wait_for(lock, std::max(state.keepAliveInterval, std::chrono::milliseconds(1)),
                                    [&] { return outcome->done; })) {
        lock.unlock();
        const auto now = std::chrono::steady_clock::now();
        if (giveUpAfter && now - started >= *giveUpAfter) return false;
        window.showWindow();  // whatever waits, it waits in a window, at start-up too
        // A wait over before the first interval shows neither the busy state
        // nor half a list: on a fast disk that would only flicker.
        if (now - started >= state.listShownInterval && (!busyShown || now - shownAt >= state.listShownInterval)) {
            if (!std::exchange(busyShown, true)) window.showBusy();
            if (link) {
                std::unique_lock linesLock(link->mutex);
                const std::string lines = link->lines;
                linesLock.unlock();
                if (lines.size() != shownSize) window.setText2(lines);
                shownSize = lines.size();
            }
            shownAt = now;
        }
        if (!window.keepAlive() || state.closeRequested) throw WalkStopped();
        lock.lock();
    }
    lock.unlock();
    // A click or key given during the last step is still waiting: it is
    // dropped now, while the window is busy, not run once the command is
    // over (nor left to dismiss the message that follows unseen). A close
    // among them ends the command here.
    if (!window.keepAlive() || state.closeRequested) throw WalkStopped();
    if (std::exception_ptr failure = std::exchange(outcome->failure, nullptr)) std::rethrow_exception(failure);
    return true;
}

bool WorkerLink::keepGoing(const std::string& list) {
    if (const auto now = std::chrono::steady_clock::now(); now - handedAt >= interval) {
        std::lock_guard lock(mutex);
        lines = list;
        handedAt = now;
    }
    return !stop;
}

}  // namespace quelmar
