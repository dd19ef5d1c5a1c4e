#pragma once
// One running copy per account: a lock on a folder only it may write, and a socket there where later starts call.

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/fd.h"

namespace quelmar::linux_host {

// `name` in `parent`, made private where missing if `makeParent` (nothing may have made a home's .cache yet).
struct RulePlace {
    std::string parent, name;
    bool makeParent = false;
    bool operator==(const RulePlace&) const = default;
};

// The system's runtime folder, /tmp, the home (named by the machine too, as homes may be shared): from the
// account's number and the user database alone, never from the environment, which differs between sessions (su).
std::vector<RulePlace> rulePlaces(const std::string& name);

class SingleInstance : public QObject {
public:
    explicit SingleInstance(std::vector<RulePlace> places) : places_(std::move(places)) {}
    // Another copy of this account's: 0 where it took the call, else its process, which does not progress.
    // With none, this copy holds the rule from now on, or runs without it where no place can be had.
    std::optional<pid_t> findOrHold();
    // Done when the event loop ends or the window goes: a thread stuck in a read keeps the process for good.
    void letGo();
    std::function<void()> onSecondStart;  // on the GUI thread, for each later start

private:
    void timerEvent(QTimerEvent*) override;
    bool listen();
    void answer();

    std::vector<RulePlace> places_;
    Fd folder_, listener_;  // while held
    ino_t socket_ = 0;
    QSocketNotifier calls_{QSocketNotifier::Read};
    int keepInPlace_ = 0;
};

}  // namespace quelmar::linux_host
