// State shared by the stand-in's files; not for tests or tools.
#ifndef KOVALTHERM_HOST_INTERNAL_H
#define KOVALTHERM_HOST_INTERNAL_H

#include <mutex>

#include "platform/host/host.h"

namespace host {
namespace internal {

// One lock over the whole stand-in: the registry, handles, notebook, clock and counts.
std::recursive_mutex &Lock();

// Counts a call into `function` and returns true when an injected fault makes it fail.
// Call with the lock held.
bool CallFails(HostFunction function);

// The simulated notebook (lock held).
SimNotebook &Notebook();

// Milliseconds on the clock (lock held).
uint64_t Now();

// Closes every device handle and restores the OS family and device names (on reset).
void ResetKernel();

// Drops every open registry key (on reset).
void ResetRegistryHandles();

} // namespace internal
} // namespace host

#endif
