// The stand-in's machine: its reset, the simulated notebook and the registry behind
// HKEY_LOCAL_MACHINE, under the one lock over the whole stand-in.
#include "platform/host/host_internal.h"

namespace host {

namespace {

SimNotebook g_notebook;
std::unique_ptr<RegistryStore> g_registry;

} // namespace

namespace internal {

TestHooks g_testHooks;

std::recursive_mutex &Lock()
{
    static std::recursive_mutex lock;
    return lock;
}

SimNotebook &Notebook() { return g_notebook; }

RegistryStore &Store()
{
    if (!g_registry)
        g_registry = MakeMemoryRegistry();
    return *g_registry;
}

std::string RegistryFilePath() { return g_registry ? g_registry->FilePath() : std::string(); }

} // namespace internal

using internal::Lock;

void ResetMachine()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    internal::ResetKernel();
    internal::ResetTimers();
    internal::ResetNamedMutexes();
    internal::ResetRegistryHandles();
    g_registry = MakeMemoryRegistry();
    SimConfig config;
    SimDefaultConfig(&config);
    SimLoad(&g_notebook, &config);
    internal::ResetClock();
    if (internal::g_testHooks.resetFaults)
        internal::g_testHooks.resetFaults();
    if (internal::g_testHooks.resetLogs)
        internal::g_testHooks.resetLogs();
}

void LoadScenario(const SimConfig &config)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    SimLoad(&g_notebook, &config);
}

void WithNotebook(const std::function<void(SimNotebook &)> &f)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    f(g_notebook);
}

RegistryStore &Registry()
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    return internal::Store();
}

void UseRegistry(std::unique_ptr<RegistryStore> store)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    internal::ResetRegistryHandles();
    g_registry = std::move(store);
}

void SetDword(const std::string &path, const std::string &name, int32_t value)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    RegValue v;
    v.type = REG_DWORD;
    uint32_t bits = (uint32_t)value;
    v.data = {(BYTE)bits, (BYTE)(bits >> 8), (BYTE)(bits >> 16), (BYTE)(bits >> 24)};
    Registry().CreateKey(path);
    Registry().SetValue(path, name, v);
}

bool GetDword(const std::string &path, const std::string &name, int32_t *value)
{
    std::lock_guard<std::recursive_mutex> guard(Lock());
    RegValue v;
    if (!Registry().GetValue(path, name, &v) || v.type != REG_DWORD || v.data.size() != 4)
        return false;
    *value = (int32_t)(v.data[0] | v.data[1] << 8 | v.data[2] << 16 | (uint32_t)v.data[3] << 24);
    return true;
}

} // namespace host
