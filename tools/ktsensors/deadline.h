// A bound that holds whatever the library does: a watchdog thread that, once the time is up,
// says its last words and ends the process, abandoning the call under way. An export can wait
// up to 40 s for the library's lock; --check answers within its timeout and the Windows service
// stops within its bound all the same. A lock the abandoned call held is left abandoned, which
// every caller counts as acquired (a Windows mutex, the host stand-in's lock files).
#ifndef KTSENSORS_DEADLINE_H
#define KTSENSORS_DEADLINE_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>

namespace ktsensors {

class Deadline {
public:
    Deadline();
    ~Deadline();

    // Starts the watchdog: `ms` from now, unless cancelled first, it runs `lastWords` on its
    // own thread and ends the process with `exitCode` at once (no destructors, no library
    // detach). Until then it runs `tick` every `tickMs` (0: never). Armed once.
    void Arm(uint64_t ms, int exitCode, std::function<void()> lastWords, uint64_t tickMs = 0,
             std::function<void()> tick = nullptr);

    // Stops the watchdog before its time. Once the time is up it never returns: the watchdog
    // is ending the process, and the caller must not go on meanwhile.
    void Cancel();

    // Runs the watchdog's loop of `deadline`, for a platform's thread entry.
    static void RunWatchOf(void *deadline) { static_cast<Deadline *>(deadline)->Watch(); }

private:
    enum State { kIdle, kArmed, kCancelled, kFired };

    // The watchdog's loop (deadline.cpp).
    void Watch();

    // The platform's part (deadline_linux.cpp, deadline_windows.cpp).
    struct Platform;
    void StartThread();                // runs Watch on a thread of its own
    bool WaitForCancel(uint64_t ms);   // true once Cancel has signalled
    void SignalCancel();
    void JoinThread();
    static uint64_t NowMs();           // a clock that only moves forward
    [[noreturn]] static void EndProcess(int exitCode);

    std::unique_ptr<Platform> platform_;
    std::atomic<int> state_{kIdle};
    uint64_t ms_ = 0, tickMs_ = 0;
    int exitCode_ = 0;
    std::function<void()> lastWords_, tick_;
};

} // namespace ktsensors

#endif
