// Stand-in fault injection: which failable calls fail, once, from some call on, or by a
// repeating pattern.
#include "platform/host/host_internal.h"

namespace host {

namespace {

struct Fault {
    bool armed = false;
    bool persistent = false;
    uint64_t nth = 0;
    uint32_t functions = 0;
    uint64_t calls = 0;
    bool fired = false;
    std::vector<uint8_t> pattern; // when not empty, replaces nth and persistent
};

Fault g_fault;

} // namespace

namespace internal {

bool CallFailsFrom(HostFunction function, const void *caller)
{
    CountCall(function);
    if (!g_fault.armed || !(g_fault.functions & (1u << function)))
        return false;
    RecordArmedCallSite(caller);
    uint64_t k = g_fault.calls++;
    bool fails;
    if (!g_fault.pattern.empty()) {
        uint64_t bit = k % (g_fault.pattern.size() * 8);
        fails = (g_fault.pattern[bit / 8] >> (bit % 8)) & 1;
    } else {
        fails = g_fault.persistent ? g_fault.calls >= g_fault.nth : g_fault.calls == g_fault.nth;
    }
    if (fails) {
        g_fault.fired = true;
        RecordFaultSite(caller);
    }
    return fails;
}

void ResetFaults() { g_fault = Fault{}; }

} // namespace internal

void InjectFault(uint64_t nth, FaultMode mode, uint32_t functions)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    g_fault = Fault{};
    g_fault.armed = true;
    g_fault.persistent = mode == FaultMode::Persistent;
    g_fault.nth = nth;
    g_fault.functions = functions;
}

void InjectFaultPattern(const std::vector<uint8_t> &pattern, uint32_t functions)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    g_fault = Fault{};
    g_fault.armed = !pattern.empty();
    g_fault.functions = functions;
    g_fault.pattern = pattern;
}

void ClearFault()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    g_fault = Fault{};
}

bool FaultFired()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return g_fault.fired;
}

uint64_t FaultableCalls()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return g_fault.calls;
}

} // namespace host
