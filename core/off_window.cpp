#include "off_window.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <thread>
#include <utility>

namespace quelmar {

bool WaitOffWindow(FormState& state, WindowOps& window, const std::shared_ptr<WorkerLink>& link,
                   std::function<void()> work, std::optional<std::chrono::milliseconds> giveUpAfter) {
    window.setBusy(true);
    const std::shared_ptr<void> notBusyAfter(nullptr, [&window](void*) { window.setBusy(false); });
    // A failure is handed over whole: the window's thread, not the worker, frees it.
    struct Outcome {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        std::exception_ptr failure;
    };
    auto outcome = std::make_shared<Outcome>();
    std::thread([outcome, work = std::move(work)]() mutable {
        std::exception_ptr failure;
        try {
            std::exchange(work, nullptr)();  // what it holds goes with it, on the worker
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(outcome->mutex);
        outcome->failure = std::move(failure), outcome->done = true;
        outcome->ended.notify_all();
    }).detach();

    const auto started = std::chrono::steady_clock::now();
    auto shownAt = started;
    std::size_t shownSize = 0;
    bool busyShown = false;
    std::unique_lock lock(outcome->mutex);
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
            std::unique_lock linesLock(link->mutex);
            const std::string lines = link->lines;
            linesLock.unlock();
            if (lines.size() != shownSize) window.setText2(lines);
            shownSize = lines.size();
            shownAt = now;
        }
        if (!window.keepAlive() || state.closeRequested) {
            link->stop = true;
            throw WalkStopped();
        }
        lock.lock();
    }
    lock.unlock();
    // A click or key given during the last step is still waiting: it is
    // dropped now, while the window is busy, not run once the command is
    // over (nor left to dismiss the message that follows unseen).
    window.keepAlive();
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
