#include "off_window.h"

#include "crew.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <limits>
#include <system_error>
#include <utility>

namespace quelmar {

namespace {

// Look-ups given up on that are still in their calls, in the whole process:
// past a few, the next is not started but taken as not answering, so no
// press of a key or button piles threads up.
constexpr unsigned kMostLeftBehind = 4;
std::atomic<unsigned> leftInCalls{0};

// What the window waits for runs on these: one at work at a time, and those
// left behind in their calls.
constexpr unsigned kAsMany = std::numeric_limits<unsigned>::max();
Crew* const workers = new Crew(kAsMany, kAsMany);

// One piece of work handed to a worker, as the window's thread sees it. A
// failure is handed over whole: the window's thread, not the worker, frees it.
struct Outcome {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false, leftBehind = false;
    std::exception_ptr failure;

    bool waitFor(std::chrono::milliseconds interval) {
        std::unique_lock lock(mutex);
        return ended.wait_for(lock, std::max(interval, std::chrono::milliseconds(1)), [&] { return done; });
    }
    // The wait ended before the work: it is stopped, and counted as left
    // behind in its call until it ends.
    void leaveBehind(WorkerLink* link) {
        std::lock_guard lock(mutex);
        if (done) return;
        if (link) link->stop.request_stop();
        leftBehind = true;
        ++leftInCalls;
    }
};

void handToWorker(const std::shared_ptr<Outcome>& outcome, const std::shared_ptr<WorkerLink>& link,
                  std::function<void()> work) {
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
        if (outcome->leftBehind) --leftInCalls;
        outcome->ended.notify_all();
    });
    if (!handed) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

// A wait over before the first interval shows neither the busy state nor
// half a list: on a fast disk that would only flicker. After it, the window
// shows it is busy, and the lines found so far every interval.
class Shown {
public:
    Shown(const FormState& state, WindowOps& window, WorkerLink* link)
        : interval_(state.listShownInterval), window_(window), link_(link) {}
    void update(std::chrono::steady_clock::duration waited) {
        if (waited < interval_ || (busy_ && waited - shownAt_ < interval_)) return;
        if (!std::exchange(busy_, true)) window_.showBusy();
        shownAt_ = waited;
        if (!link_) return;
        std::unique_lock lock(link_->mutex);
        const std::string lines = link_->lines;
        lock.unlock();
        if (lines.size() != size_) window_.setText2(lines);
        size_ = lines.size();
    }

private:
    const std::chrono::milliseconds interval_;
    WindowOps& window_;
    WorkerLink* const link_;
    bool busy_ = false;
    std::chrono::steady_clock::duration shownAt_{};
    std::size_t size_ = 0;
};

}  // namespace

bool WaitOffWindow(FormState& state, WindowOps& window, std::function<void()> work,
                   const std::shared_ptr<WorkerLink>& link, std::optional<std::chrono::milliseconds> giveUpAfter) {
    if (giveUpAfter && leftInCalls >= kMostLeftBehind) return false;
    window.setBusy(true);
    const std::shared_ptr<void> notBusyAfter(nullptr, [&window](void*) { window.setBusy(false); });
    auto outcome = std::make_shared<Outcome>();
    handToWorker(outcome, link, std::move(work));
    if (link) state.walkStop = link->stop;
    // However the wait ends before the work does (a close, a failure here,
    // a look-up given up on), the work is stopped.
    const std::shared_ptr<void> stopUnlessDone(nullptr, [&](void*) {
        state.walkStop = std::stop_source(std::nostopstate);
        outcome->leaveBehind(link.get());
    });
    Shown shown(state, window, link.get());
    const auto started = std::chrono::steady_clock::now();
    while (!outcome->waitFor(state.keepAliveInterval)) {
        const auto waited = std::chrono::steady_clock::now() - started;
        if (giveUpAfter && waited >= *giveUpAfter) return false;
        window.showWindow();  // whatever waits, it waits in a window, at start-up too
        shown.update(waited);
        if (!window.keepAlive() || state.closeRequested) throw WalkStopped();
    }
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
    return !stop.stop_requested();
}

}  // namespace quelmar
