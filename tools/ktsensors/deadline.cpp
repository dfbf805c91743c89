// The watchdog's loop, the same on every platform.
#include "deadline.h"

namespace ktsensors {

void Deadline::Arm(uint64_t ms, int exitCode, std::function<void()> lastWords, uint64_t tickMs,
                   std::function<void()> tick)
{
    int idle = kIdle;
    if (!state_.compare_exchange_strong(idle, kArmed))
        return;
    ms_ = ms;
    exitCode_ = exitCode;
    lastWords_ = std::move(lastWords);
    tickMs_ = tick ? tickMs : 0;
    tick_ = std::move(tick);
    StartThread();
}

void Deadline::Cancel()
{
    int armed = kArmed;
    if (state_.compare_exchange_strong(armed, kCancelled)) {
        SignalCancel();
        JoinThread();
        return;
    }
    while (armed == kFired)
        WaitForCancel(60000);
}

void Deadline::Watch()
{
    uint64_t end = NowMs() + ms_;
    for (uint64_t now = NowMs(); now < end; now = NowMs()) {
        uint64_t wait = end - now;
        if (tickMs_ && tickMs_ < wait)
            wait = tickMs_;
        if (WaitForCancel(wait))
            return;
        if (tickMs_ && NowMs() < end)
            tick_();
    }
    int armed = kArmed;
    if (!state_.compare_exchange_strong(armed, kFired))
        return; // cancelled as the time ran out
    lastWords_();
    EndProcess(exitCode_);
}

} // namespace ktsensors
