// Stand-in call counts: how often each stand-in function was called since the last reset.
#include "platform/host/host_internal.h"

namespace host {

namespace {

uint64_t g_calls[FN_COUNT];

} // namespace

namespace internal {

void CountCall(HostFunction function) { ++g_calls[function]; }

void ResetCounters()
{
    for (uint64_t &count : g_calls)
        count = 0;
}

} // namespace internal

uint64_t CallCount(HostFunction function)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return g_calls[function];
}

void ResetCallCounts()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    internal::ResetCounters();
}

} // namespace host
