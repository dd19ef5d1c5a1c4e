#pragma once
// Calls to the system made for the window's thread on a helper, so that a
// slow mount (a network share that hangs, a disk spinning up) never freezes
// the window: while a call is outstanding beyond a moment, the window's
// thread keeps the window alive. A call that answers at once costs a hand-
// over and nothing else.
//
// Told to stop meanwhile (the window is going), the waiting thread gives up
// at once with WalkStopped and the helper is left in its call: nothing
// waits for a read that may never end. The program is then closing; the
// helper only finishes its call and ends.

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "form_state.h"
#include "window.h"

namespace quelmar {

class OffWindowCalls {
public:
    // `keepAlive` runs on the calling thread every `interval` once a call has
    // been outstanding for `patience`; false stops the wait.
    OffWindowCalls(std::chrono::milliseconds patience, std::chrono::milliseconds interval,
                   std::function<bool()> keepAlive);
    ~OffWindowCalls();
    OffWindowCalls(const OffWindowCalls&) = delete;
    OffWindowCalls& operator=(const OffWindowCalls&) = delete;

    // Runs `call` on the helper and returns what it returns, or raises what
    // it raises. The helper keeps `call` itself: what it holds by value
    // lasts as long as a call left behind does.
    template <typename Call>
    auto run(Call&& call) -> decltype(call()) {
        using Result = decltype(call());
        auto work = std::make_shared<std::decay_t<Call>>(std::forward<Call>(call));
        if constexpr (std::is_void_v<Result>) {
            runErased([work] { (*work)(); });
        } else {
            auto result = std::make_shared<std::optional<Result>>();
            runErased([work, result] { result->emplace((*work)()); });
            return std::move(**result);
        }
    }

    struct Shared;

private:
    void runErased(std::function<void()> call);

    std::chrono::milliseconds patience_, interval_;
    std::function<bool()> keepAlive_;
    std::shared_ptr<Shared> shared_;
};

// One step of a command done off the window's thread: input is dropped
// while it runs, and once it has lasted the list-shown interval the window
// shows it is busy. A close meanwhile stops it with WalkStopped.
template <typename Call>
auto OffTheWindowThread(FormState& state, WindowOps& window, Call&& call) -> decltype(call()) {
    const auto started = std::chrono::steady_clock::now();
    bool busyShown = false;
    OffWindowCalls calls(state.slowCallWait, state.keepAliveInterval, [&] {
        if (!busyShown && std::chrono::steady_clock::now() - started >= state.listShownInterval) {
            window.showBusy();
            busyShown = true;
        }
        return window.keepAlive() && !state.closeRequested;
    });
    struct BusyWhileHere {
        WindowOps& window;
        explicit BusyWhileHere(WindowOps& w) : window(w) { window.setBusy(true); }
        ~BusyWhileHere() { window.setBusy(false); }
    } busy(window);
    return calls.run(std::forward<Call>(call));
}

}  // namespace quelmar
