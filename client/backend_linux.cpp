// The host runtime: the library runs against the stand-in of the Win32 subset and the
// simulated notebook, with the stand-in's HKEY_LOCAL_MACHINE kept in a SQLite file and the
// stand-in's clock. Its user (ktsensors, libkovaltherm.so) plays Windows' loader: it attaches
// and detaches the library.
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>
#include <thread>

#include "backend.h"
#include "frame/entry.h"
#include "platform/host/host.h"
#include "platform/host/sqlite_registry.h"

namespace ktsensors {

namespace {

// The default notebook's temperatures drift around their steady values with this period and
// amplitude, in step with the wall clock so that runs in a row continue the same curve.
const uint32_t kDriftPeriodMs = 10 * 60 * 1000;
const double kDriftAmplitude = 3.0;
const uint32_t kDriftPoints = 17; // 16 segments; the last point closes the period

// Environment variables: the registry file, and the clock ("virtual" for scripted runs).
const char *const kRegistryVariable = "KOVALTHERM_REGISTRY";
const char *const kClockVariable = "KOVALTHERM_CLOCK";

// The environment variable `name`, or null. A privileged process (set-user-ID, set-group-ID,
// or given capabilities as it started: AT_SECURE) ignores its environment, which whoever
// started it chose: else they would choose the files it creates and reads.
const char *Variable(const char *name) { return secure_getenv(name); }

uint64_t WallClockMs()
{
    timeval now;
    gettimeofday(&now, nullptr);
    return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_usec / 1000;
}

// The default notebook: the simulated notebook's default machine (three present sensors with
// plausible limits), its steady temperatures replaced by slow drifts.
SimConfig DefaultNotebook(uint64_t wallMs)
{
    SimConfig config;
    SimDefaultConfig(&config);
    const double pi = 3.14159265358979323846;
    for (uint32_t i = 0; i < SIM_CONTROLLER_SENSORS; ++i) {
        SimTrace &trace = config.temperatures[i];
        int steady = trace.points[0].temperature;
        double phase = (double)((wallMs + i * (kDriftPeriodMs / 3)) % kDriftPeriodMs) / kDriftPeriodMs;
        trace.length = kDriftPoints;
        trace.repeat = 1;
        for (uint32_t k = 0; k < kDriftPoints; ++k) {
            double at = (double)k / (kDriftPoints - 1);
            trace.points[k].timeMs = (uint32_t)(at * kDriftPeriodMs);
            trace.points[k].temperature =
                (int32_t)lround(steady + kDriftAmplitude * sin(2 * pi * (at + phase)));
        }
    }
    return config;
}

// Creates `directory` and its parents, as mkdir -p does; false with errno set.
bool MakeDirectories(const std::string &directory)
{
    for (size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        std::string prefix = directory.substr(0, slash);
        if (!prefix.empty() && mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

// The name of `notebook`'s registry file in the state directory: registry.db for the default
// notebook (at any temperatures), registry-ID.db for another, so that a notebook never meets
// the cache another one built, whose sensors and limits it would read as its own.
std::string NotebookRegistryName(const SimConfig *notebook)
{
    SimConfig standard;
    SimDefaultConfig(&standard);
    uint64_t id = notebook ? SimNotebookId(notebook) : SimNotebookId(&standard);
    if (id == SimNotebookId(&standard))
        return "registry.db";
    char name[64];
    snprintf(name, sizeof name, "registry-%016llx.db", (unsigned long long)id);
    return name;
}

// The registry file to use: --registry, else $KOVALTHERM_REGISTRY, else the notebook's own in
// the state directory.
bool RegistryPath(const std::string &option, const SimConfig *notebook, bool mayCreate, std::string *path,
                  std::string *error)
{
    if (!option.empty()) {
        *path = option;
        return true;
    }
    const char *variable = Variable(kRegistryVariable);
    if (variable && *variable) {
        *path = variable;
        return true;
    }
    std::string state;
    const char *xdg = Variable("XDG_STATE_HOME");
    const char *home = Variable("HOME");
    if (xdg && xdg[0] == '/')
        state = xdg;
    else if (home && *home)
        state = std::string(home) + "/.local/state";
    else {
        *error = getauxval(AT_SECURE) ? "no registry file: a privileged process (set-user-ID or set-group-ID) "
                                        "ignores KOVALTHERM_REGISTRY, XDG_STATE_HOME and HOME"
                                      : "no registry file: set --registry, KOVALTHERM_REGISTRY, XDG_STATE_HOME or HOME";
        return false;
    }
    std::string directory = state + "/kovaltherm";
    if (mayCreate && !MakeDirectories(directory)) {
        *error = "cannot create " + directory + ": " + strerror(errno);
        return false;
    }
    *path = directory + "/" + NotebookRegistryName(notebook);
    return true;
}

// Copies the key at `path` and everything under it out of the store.
void Walk(host::RegistryStore &store, const std::string &path, RegKey *key)
{
    key->path = "HKEY_LOCAL_MACHINE\\" + path;
    for (auto &value : store.Values(path))
        key->values.push_back(RegEntry{value.first, value.second.type, value.second.data});
    for (const std::string &name : store.SubKeys(path)) {
        key->subkeys.emplace_back();
        Walk(store, path + "\\" + name, &key->subkeys.back());
    }
}

// The registry file: opened by the tool, handed to the stand-in while the library runs, and
// closed when it stops.
class HostRegistry : public Registry {
public:
    bool IsFile() const override { return true; }

    const std::string &File() const override { return path_; }

    Outcome Open(const std::string &registryPath, const SimConfig *notebook, bool mayCreate,
                 std::string *error) override
    {
        if (!RegistryPath(registryPath, notebook, mayCreate, &path_, error))
            return Outcome::Failure;
        struct stat info;
        if (!mayCreate && lstat(path_.c_str(), &info) != 0) {
            *error = "no registry file " + path_ + " yet: run ktsensors once to build the sensor cache";
            return Outcome::Failure;
        }
        // Without mayCreate the registry is only read (--dump-registry): a read-only file works.
        store_ = host::MakeSqliteRegistry(path_, error, mayCreate ? host::RegistryAccess::ReadWrite
                                                                  : host::RegistryAccess::ReadOnly);
        return store_ ? Outcome::Ok : Outcome::Failure;
    }

    Outcome ReadTree(const std::string &path, RegKey *tree, std::string *error) override
    {
        if (!store_->KeyExists(path)) {
            std::string problem = store_->LastError();
            *error = problem.empty() ? "no sensor cache (HKEY_LOCAL_MACHINE\\" + path + ") in " + path_ +
                                           " yet: run ktsensors once to build it"
                                     : problem;
            return Outcome::Failure;
        }
        Walk(*store_, path, tree);
        if (!store_->LastError().empty()) {
            *error = store_->LastError();
            return Outcome::Failure;
        }
        return Outcome::Ok;
    }

    Outcome RemoveKey(const std::string &path, std::string *error) override
    {
        if (store_->DeleteKey(path) || store_->LastError().empty())
            return Outcome::Ok;
        *error = "cannot remove the sensor cache from " + path_ + ": " + store_->LastError();
        return Outcome::Failure;
    }

    std::string Problem() const override { return running_ ? running_->LastError() : ""; }

    // Makes the opened file the stand-in's HKEY_LOCAL_MACHINE.
    void HandOver()
    {
        running_ = store_.get();
        host::UseRegistry(std::move(store_));
    }

    // Closes the file, if the stand-in has it: the memory store takes its place.
    void TakeBack()
    {
        if (running_)
            host::UseRegistry(host::MakeMemoryRegistry());
        running_ = nullptr;
    }

private:
    std::string path_;
    std::unique_ptr<host::SqliteRegistry> store_;
    host::SqliteRegistry *running_ = nullptr; // the store once the stand-in owns it
};

// The stand-in's clock: real time, or simulated time that runs only when waited on.
class HostClock : public MachineClock {
public:
    // Chooses the clock for a run: virtual when asked for, or when KOVALTHERM_CLOCK says so.
    void Choose(bool fastClock)
    {
        const char *clock = Variable(kClockVariable);
        virtual_ = fastClock || (clock && strcmp(clock, "virtual") == 0);
        host::SetClockMode(virtual_ ? host::ClockMode::Virtual : host::ClockMode::Real);
    }

    uint64_t NowMs() override { return host::NowMs(); }

    void WaitMs(uint64_t ms) override
    {
        if (virtual_)
            host::AdvanceClock(ms);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

private:
    bool virtual_ = false;
};

// The library linked into the tool, over a fresh stand-in machine, attached and detached as
// Windows' loader does.
class HostLibrary : public Library {
public:
    HostLibrary(HostRegistry &registry, HostClock &clock) : registry_(registry), clock_(clock) {}
    ~HostLibrary() override { Stop(); }

    // The stand-in's attach reads the process environment, as the DLL's does.
    void EnableTrace() override { setenv(KOVALTHERM_TRACE_VARIABLE, "stderr", 1); }

    Outcome Start(const SimConfig *scenario, bool fastClock, std::string *error) override
    {
        host::ResetMachine();
        registry_.HandOver();
        notebook_ = scenario ? *scenario : DefaultNotebook(WallClockMs());
        host::LoadScenario(notebook_);
        clock_.Choose(fastClock);
        if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)) {
            *error = "the library did not load: the thermal driver could not be opened";
            return Outcome::Failure;
        }
        attached_ = true;
        exports_.GetNumSensors = LMGetNumSensors;
        exports_.GetSensorLocation = LMGetSensorLocation;
        exports_.ReadTemperature = LMReadTemperature;
        exports_.ReadWarningLimit = LMReadWarningLimit;
        exports_.ReadCriticalLimit = LMReadCriticalLimit;
        exports_.ReadTempStatus = LMReadTempStatus;
        exports_.Shutdown = ShutdownLibrary;
        return Outcome::Ok;
    }

    const SimConfig *Notebook() const override { return &notebook_; }

    const Exports &Functions() const override { return exports_; }

    void Stop() override
    {
        if (attached_)
            DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        attached_ = false;
        registry_.TakeBack();
    }

private:
    HostRegistry &registry_;
    HostClock &clock_;
    SimConfig notebook_{};
    bool attached_ = false;
    Exports exports_;
};

} // namespace

std::unique_ptr<Backend> MakeBackend()
{
    auto backend = std::make_unique<Backend>();
    backend->description = "host build: the simulated notebook, registry in a SQLite file";
    auto registry = std::make_unique<HostRegistry>();
    auto clock = std::make_unique<HostClock>();
    backend->library = std::make_unique<HostLibrary>(*registry, *clock);
    backend->registry = std::move(registry);
    backend->clock = std::move(clock);
    return backend;
}

} // namespace ktsensors
