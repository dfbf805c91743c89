// libkovaltherm.so's machine: started when the library is loaded and stopped when it is
// unloaded, as ktsensors starts its own. The registry file is $KOVALTHERM_REGISTRY, else the
// notebook's own in the state folder; the notebook is the scenario file named by $KOVALTHERM_SCENARIO,
// else the default notebook; $KOVALTHERM_CLOCK=virtual runs it on simulated time. Then the
// library attaches, as Windows' loader attaches Kovaltherm.dll.
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "backend.h"
#include "excerpt.h"
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

// Why the machine is not running ("" while it runs), for KovalthermSimProblem.
std::string &Problem()
{
    static std::string problem;
    return problem;
}

// Says why the machine did not start: on standard error, and to KovalthermSimProblem.
void Complain(const std::string &message)
{
    fprintf(stderr, "libkovaltherm: %s\n", message.c_str());
    if (!Machine())
        Problem() = message;
}

// Starts the machine on `scenario` (null: the default notebook) with its registry file, first
// emptying the sensor cache there if that file is `previousFile`, which held another
// notebook's. False with a message; the machine is then not running.
bool StartOn(const SimConfig *scenario, const std::string &previousFile, std::string *error)
{
    std::unique_ptr<ktsensors::Backend> machine = ktsensors::MakeBackend();
    if (machine->registry->Open("", scenario, true, error) != ktsensors::Outcome::Ok ||
        (machine->registry->File() == previousFile &&
         machine->registry->RemoveKey(THERMAL_KEY_PATH, error) != ktsensors::Outcome::Ok) ||
        machine->library->Start(scenario, false, error) != ktsensors::Outcome::Ok)
        return false;
    Machine() = std::move(machine);
    Problem().clear();
    return true;
}

// A machine that cannot be set up (an unusable registry file or scenario) leaves the library
// unattached: where Windows would refuse to load the DLL, every export answers 0.
__attribute__((constructor)) void StartMachine()
{
    SimConfig scenario;
    std::string error;
    // A privileged process ignores the environment whoever started it chose (AT_SECURE).
    const char *file = secure_getenv(kScenarioVariable);
    bool haveScenario = file && *file;
    if (haveScenario && !ktsensors::LoadScenarioFile(file, &scenario, &error)) {
        Complain("scenario " + error);
        return;
    }
    if (!StartOn(haveScenario ? &scenario : nullptr, "", &error))
        Complain(error);
}

} // namespace

// Replaces the simulated notebook with the scenario file at `path`, as ktsensors.exe
// --scenario replaces the stand-in driver's on Windows. The same notebook at other
// temperatures keeps the library loaded, the cache and each sensor's state. Another notebook
// must not meet the cache built on the one before (its sensors and limits would be read as
// this one's): the machine starts again on the new notebook's own registry file, or, where
// the registry file was named ($KOVALTHERM_REGISTRY), with the cache emptied there, so that
// the next call builds it afresh. Returns 1, or 0 with a line on standard error.
extern "C" int KovalthermSimLoadScenario(const char *path)
{
    SimConfig scenario;
    std::string error;
    if (!path || !ktsensors::LoadScenarioFile(path, &scenario, &error)) {
        Complain("scenario " + (path ? error : std::string("missing")));
        return 0;
    }
    std::unique_ptr<ktsensors::Backend> &machine = Machine();
    bool anotherNotebook = true;
    host::WithNotebook([&](SimNotebook &notebook) { anotherNotebook = !SimSameNotebook(&notebook.config, &scenario); });
    if (machine && !anotherNotebook) {
        host::LoadScenario(scenario);
        return 1;
    }
    std::string before = machine ? machine->registry->File() : "";
    machine.reset();
    if (!StartOn(&scenario, before, &error)) {
        Complain("scenario " + ktsensors::Excerpt(path, 80) + " not loaded: " + error);
        return 0;
    }
    return 1;
}

// Why the simulated machine is not running, so that a wrapper can say it where the exports
// can only answer 0: the line written on standard error, without its prefix; "" while it runs.
extern "C" const char *KovalthermSimProblem(void)
{
    return Problem().c_str();
}
