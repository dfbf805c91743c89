// libkovaltherm.so's machine: started when the library is loaded and stopped when it is
// unloaded, as ktsensors starts its own. The registry file is $KOVALTHERM_REGISTRY, else the
// one in the state folder; the notebook is the scenario file named by $KOVALTHERM_SCENARIO,
// else the default notebook; $KOVALTHERM_CLOCK=virtual runs it on simulated time. Then the
// library attaches, as Windows' loader attaches Kovaltherm.dll.
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "backend.h"
#include "scenario.h"
#include "base/cache_layout.h"
#include "platform/host/host.h"

namespace {

const char *const kScenarioVariable = "KOVALTHERM_SCENARIO";

// The running machine. Made by StartMachine, after every static object of the library and
// the stand-in, so that it is destroyed (stopping the machine) before any of them.
std::unique_ptr<ktsensors::Backend> &Machine()
{
    static std::unique_ptr<ktsensors::Backend> machine;
    return machine;
}

void Complain(const std::string &message)
{
    fprintf(stderr, "libkovaltherm: %s\n", message.c_str());
}

// A machine that cannot be set up (an unusable registry file or scenario) leaves the library
// unattached: where Windows would refuse to load the DLL, every export answers 0.
__attribute__((constructor)) void StartMachine()
{
    SimConfig scenario;
    std::string error;
    const char *file = getenv(kScenarioVariable);
    bool haveScenario = file && *file;
    if (haveScenario && !ktsensors::LoadScenarioFile(file, &scenario, &error)) {
        Complain("scenario " + error);
        return;
    }
    std::unique_ptr<ktsensors::Backend> machine = ktsensors::MakeBackend();
    if (machine->registry->Open("", true, &error) != ktsensors::Outcome::Ok ||
        machine->library->Start(haveScenario ? &scenario : nullptr, false, &error) != ktsensors::Outcome::Ok) {
        Complain(error);
        return;
    }
    Machine() = std::move(machine);
}

} // namespace

// Replaces the simulated notebook with the scenario file at `path`, as ktsensors.exe
// --scenario replaces the stand-in driver's on Windows; the library stays loaded. On another
// notebook the sensor cache describes the one before (its sensors and limits would be read as
// this one's), so it is emptied and the next call builds it afresh; the same notebook at other
// temperatures keeps each sensor's state. Returns 1, or 0 with a line on standard error.
extern "C" int KovalthermSimLoadScenario(const char *path)
{
    SimConfig scenario;
    std::string error;
    if (!path || !ktsensors::LoadScenarioFile(path, &scenario, &error)) {
        Complain("scenario " + (path ? error : std::string("missing")));
        return 0;
    }
    bool anotherNotebook = true;
    host::WithNotebook([&](SimNotebook &notebook) { anotherNotebook = !SimSameNotebook(&notebook.config, &scenario); });
    host::LoadScenario(scenario);
    if (anotherNotebook) {
        host::RegistryStore &registry = host::Registry();
        if (!registry.DeleteKey(THERMAL_KEY_PATH) && registry.Failed()) {
            Complain("scenario loaded, but the sensor cache of the notebook before could not be removed");
            return 0;
        }
    }
    return 1;
}
