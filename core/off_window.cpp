#include "off_window.h"

#include <algorithm>
#include <exception>
#include <future>
#include <thread>
#include <utility>

namespace quelmar {

bool WaitOffWindow(FormState& state, WindowOps& window, const std::shared_ptr<WorkerLink>& link,
                   std::function<void()> work, std::optional<std::chrono::milliseconds> giveUpAfter) {
    window.setBusy(true);
    const std::shared_ptr<void> notBusyAfter(nullptr, [&window](void*) { window.setBusy(false); });
    std::promise<void> outcome;
    std::future<void> ended = outcome.get_future();
    std::thread([outcome = std::move(outcome), work = std::move(work)]() mutable {
        try {
            std::exchange(work, nullptr)();  // what it holds goes with it, on the worker
            outcome.set_value();
        } catch (...) {
            outcome.set_exception(std::current_exception());
        }
    }).detach();

    const auto started = std::chrono::steady_clock::now();
    auto shownAt = started;
    std::size_t shownSize = 0;
    bool busyShown = false;
    while (ended.wait_for(std::max(state.keepAliveInterval, std::chrono::milliseconds(1))) !=
           std::future_status::ready) {
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
    }
    // A click or key given during the last step is still waiting: it is
    // dropped now, while the window is busy, not run once the command is
    // over (nor left to dismiss the message that follows unseen).
    window.keepAlive();
    ended.get();  // the worker's failure, if any, is raised here
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
