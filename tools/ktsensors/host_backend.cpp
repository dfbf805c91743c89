// ktsensors on the host: the library runs against the stand-in of the Win32 subset and the
// simulated notebook, with the stand-in's HKEY_LOCAL_MACHINE kept in a SQLite file.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "backend.h"
#include "readings.h"
#include "frame/entry.h"
#include "frame/trace.h"
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

// `path` with its folder resolved (symbolic links, "." and ".."); "" if the folder does not
// exist. The file itself is not followed: replacing a link replaces the link.
std::string ResolvedEntry(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char *real = realpath(folder.c_str(), nullptr);
    if (!real)
        return std::string();
    std::string resolved = real;
    free(real);
    return resolved + (resolved == "/" ? "" : "/") + base;
}

// The registry file to use: --registry, else $KOVALTHERM_REGISTRY, else the state directory.
bool RegistryPath(const std::string &option, bool mayCreate, std::string *path, std::string *error)
{
    if (!option.empty()) {
        *path = option;
        return true;
    }
    const char *variable = getenv(kRegistryVariable);
    if (variable && *variable) {
        *path = variable;
        return true;
    }
    std::string state;
    const char *xdg = getenv("XDG_STATE_HOME");
    const char *home = getenv("HOME");
    if (xdg && xdg[0] == '/')
        state = xdg;
    else if (home && *home)
        state = std::string(home) + "/.local/state";
    else {
        *error = "no registry file: set --registry, KOVALTHERM_REGISTRY, XDG_STATE_HOME or HOME";
        return false;
    }
    std::string directory = state + "/kovaltherm";
    if (mayCreate && !MakeDirectories(directory)) {
        *error = "cannot create " + directory + ": " + strerror(errno);
        return false;
    }
    *path = directory + "/registry.db";
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

class HostBackend : public Backend {
public:
    ~HostBackend() override { Stop(); }

    std::string Describe() const override
    {
        return "host build: the simulated notebook, registry in a SQLite file";
    }

    bool RegistryIsFile() const override { return true; }

    bool DegreeSign() const override { return Utf8Locale(); }

    void GuardStandardStreams() override
    {
        // open() takes the lowest free descriptor, so going up from 0 fills each closed one.
        for (int fd = 0; fd <= 2; ++fd)
            if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
                open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    }

    bool SaveAtomically(const std::string &path, const std::string &text, std::string *error) override
    {
        if (IsRegistryFile(path)) {
            *error = "cannot write " + path + ": it is the registry file " + path_ +
                     " or one of the files beside it";
            return false;
        }
        size_t slash = path.rfind('/');
        std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        // A hidden name that no collector reads until the rename.
        std::string temporary = folder + "." + base + ".XXXXXX";
        int fd = mkstemp(&temporary[0]);
        if (fd < 0) {
            *error = "cannot write " + path + ": " + strerror(errno);
            return false;
        }
        bool ok = fchmod(fd, 0644) == 0;
        for (size_t done = 0; ok && done < text.size();) {
            ssize_t written = write(fd, text.data() + done, text.size() - done);
            if (written < 0 && errno == EINTR)
                continue;
            ok = written > 0;
            done += ok ? (size_t)written : 0;
        }
        ok = ok && fsync(fd) == 0;
        int saved = errno;
        ok = close(fd) == 0 && ok;
        if (ok && rename(temporary.c_str(), path.c_str()) == 0)
            return true;
        saved = ok ? errno : saved;
        unlink(temporary.c_str());
        *error = "cannot write " + path + ": " + strerror(saved);
        return false;
    }

    // True if `path` is the open registry file, one of SQLite's files beside it or a named
    // mutex's lock file beside it: readings written there would destroy the sensor cache or
    // the lock.
    bool IsRegistryFile(const std::string &path) const
    {
        if (path_.empty())
            return false;
        std::string target = ResolvedEntry(path), registry = ResolvedEntry(path_);
        if (target.empty() || registry.empty())
            return false;
        for (const char *suffix : {"", "-wal", "-shm", "-journal"})
            if (target == registry + suffix)
                return true;
        return target.rfind(registry + host::kMutexLockFileInfix, 0) == 0;
    }

    Outcome OpenRegistry(const std::string &registryPath, bool mayCreate, std::string *error) override
    {
        if (!RegistryPath(registryPath, mayCreate, &path_, error))
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

    Outcome ReadRegistryTree(const std::string &path, RegKey *tree, std::string *error) override
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

    // The stand-in's attach reads the process environment, as the DLL's does.
    void EnableTrace() override { setenv(TRACE_VARIABLE, "stderr", 1); }

    Outcome Start(const SimConfig *scenario, bool fastClock, std::string *error) override
    {
        host::ResetMachine();
        sqlite_ = store_.get();
        host::UseRegistry(std::move(store_));
        notebook_ = scenario ? *scenario : DefaultNotebook(WallClockMs());
        host::LoadScenario(notebook_);
        const char *clock = getenv(kClockVariable);
        virtualClock_ = fastClock || (clock && strcmp(clock, "virtual") == 0);
        host::SetClockMode(virtualClock_ ? host::ClockMode::Virtual : host::ClockMode::Real);
        if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)) {
            *error = "the library did not load: the thermal driver could not be opened";
            return Outcome::Failure;
        }
        attached_ = true;
        library_.GetNumSensors = LMGetNumSensors;
        library_.GetSensorLocation = LMGetSensorLocation;
        library_.ReadTemperature = LMReadTemperature;
        library_.ReadWarningLimit = LMReadWarningLimit;
        library_.ReadCriticalLimit = LMReadCriticalLimit;
        library_.ReadTempStatus = LMReadTempStatus;
        library_.Shutdown = ShutdownLibrary;
        return Outcome::Ok;
    }

    const SimConfig *Notebook() const override { return &notebook_; }

    const Exports &Library() const override { return library_; }

    uint64_t NowMs() override { return host::NowMs(); }

    void WaitMs(uint64_t ms) override
    {
        if (virtualClock_)
            host::AdvanceClock(ms);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    std::string RegistryProblem() const override { return sqlite_ ? sqlite_->LastError() : ""; }

    void Stop() override
    {
        if (attached_)
            DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        attached_ = false;
        if (sqlite_) {
            // Closes the file: the memory store takes its place.
            host::UseRegistry(host::MakeMemoryRegistry());
            sqlite_ = nullptr;
        }
    }

private:
    std::string path_;
    std::unique_ptr<host::SqliteRegistry> store_;
    host::SqliteRegistry *sqlite_ = nullptr; // the store once the stand-in owns it
    SimConfig notebook_{};
    bool virtualClock_ = false;
    bool attached_ = false;
    Exports library_;
};

} // namespace

std::unique_ptr<Backend> MakeBackend() { return std::make_unique<HostBackend>(); }

} // namespace ktsensors
