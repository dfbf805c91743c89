// Stand-in Sleep, on the stand-in's clock.
#include "platform/host/host_internal.h"

namespace {

const uint64_t kUsPerMs = 1000;

} // namespace

// Sleep: on the virtual clock the time moves on and the wait is recorded; on the real clock
// the thread sleeps (outside the lock, so other callers go on). Both keep the scheduler tick.
extern "C" void WINAPI Sleep(DWORD dwMilliseconds)
{
    using namespace host;
    uint64_t end;
    {
        std::lock_guard<std::recursive_mutex> guard(internal::Lock());
        internal::CallFails(FN_SLEEP);
        end = internal::WaitEndUs((uint64_t)dwMilliseconds * kUsPerMs, true);
        if (internal::VirtualWait(end, dwMilliseconds, WaitKind::Sleep))
            return;
    }
    internal::RealWaitUntil(end);
}
