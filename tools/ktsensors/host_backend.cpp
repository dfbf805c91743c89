// ktsensors on the host: the library runs against the stand-in of the Win32 subset and the
// simulated notebook, with the stand-in's HKEY_LOCAL_MACHINE kept in a SQLite file.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
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
#include "service.h"
#include "frame/entry.h"
#include "base/diagnostics.h"
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
// exist. The file itself is not followed.
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

// Whether two stat results are one file.
bool SameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// How readings reach what --output names.
enum class OutputKind {
    Replaced, // a file (or the file a link leads to), replaced atomically
    InPlace,  // a character device or FIFO, such as /dev/stdout: written as it is
    Refused,
};

// Looks at what `path` names: for Replaced, `*file` is the path to replace (a link followed
// to its target); for Refused, `*why` says why.
OutputKind ExamineOutput(const std::string &path, std::string *file, std::string *why)
{
    struct stat link, info;
    bool isLink = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    if (stat(path.c_str(), &info) != 0) {
        if (!isLink) { // a new file
            *file = path;
            return OutputKind::Replaced;
        }
        char target[PATH_MAX] = {};
        ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        *why = errno == ELOOP ? std::string("it is a symbolic link in a loop")
               : errno == ENOENT
                   ? "it is a symbolic link to " + std::string(target, length > 0 ? (size_t)length : 0) +
                         ", which does not exist"
                   : std::string(strerror(errno));
        return OutputKind::Refused;
    }
    if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode))
        return OutputKind::InPlace;
    if (S_ISDIR(info.st_mode)) {
        *why = strerror(EISDIR);
        return OutputKind::Refused;
    }
    if (!S_ISREG(info.st_mode)) {
        *why = "it is not a file, a character device or a FIFO";
        return OutputKind::Refused;
    }
    if (!isLink) {
        *file = path;
        return OutputKind::Replaced;
    }
    char *real = realpath(path.c_str(), nullptr);
    if (!real) {
        *why = strerror(errno);
        return OutputKind::Refused;
    }
    *file = real;
    free(real);
    return OutputKind::Replaced;
}

// Writes all of `text` to `fd`. A signal that interrupts the write ends it: the tool is
// stopping, and the reading is abandoned.
bool WriteAll(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written <= 0)
            return false;
        done += (size_t)written;
    }
    return true;
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
        std::string file, why;
        switch (ExamineOutput(path, &file, &why)) {
        case OutputKind::Refused:
            *error = "cannot write " + path + ": " + why;
            return false;
        case OutputKind::InPlace: return WriteInPlace(path, text, error);
        case OutputKind::Replaced: break;
        }
        if (IsRegistryFile(file)) {
            *error = "cannot write " + path + ": it is the registry file " + path_ +
                     " or one of the files kept with it";
            return false;
        }
        size_t slash = file.rfind('/');
        std::string folder = slash == std::string::npos ? "" : file.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
        // A hidden name that no collector reads until the rename, within the longest name a
        // folder holds.
        std::string temporary = folder + "." + base.substr(0, NAME_MAX - 8) + ".XXXXXX";
        int fd = mkstemp(&temporary[0]);
        if (fd < 0) {
            *error = "cannot write " + path + ": " + strerror(errno);
            return false;
        }
        bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
        int saved = errno;
        ok = close(fd) == 0 && ok;
        if (ok && rename(temporary.c_str(), file.c_str()) == 0)
            return true;
        saved = ok ? errno : saved;
        unlink(temporary.c_str());
        *error = "cannot write " + path + ": " + strerror(saved);
        return false;
    }

    // Writes a reading to a character device or FIFO as it is: they cannot be replaced.
    static bool WriteInPlace(const std::string &path, const std::string &text, std::string *error)
    {
        int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        bool ok = fd >= 0 && WriteAll(fd, text);
        int saved = errno;
        if (fd >= 0 && close(fd) != 0 && ok) {
            ok = false;
            saved = errno;
        }
        if (!ok)
            *error = "cannot write " + path + ": " + strerror(saved);
        return ok;
    }

    // True if `file` is the open registry file, one of SQLite's files beside it or a named
    // mutex's lock file, by name or as another name (a hard link) of one: readings written
    // there would destroy the sensor cache or the lock.
    bool IsRegistryFile(const std::string &file) const
    {
        if (path_.empty())
            return false;
        char *real = realpath(path_.c_str(), nullptr);
        if (!real)
            return false;
        const std::string registry = real;
        free(real);
        const std::string target = ResolvedEntry(file), stem = host::MutexLockFileStem(path_);
        const char *const suffixes[] = {"", "-wal", "-shm", "-journal"};
        for (const char *suffix : suffixes)
            if (target == registry + suffix)
                return true;
        if (!stem.empty() && target.rfind(stem, 0) == 0)
            return true;
        struct stat info, other;
        if (stat(file.c_str(), &info) != 0)
            return false;
        for (const char *suffix : suffixes)
            if (stat((registry + suffix).c_str(), &other) == 0 && SameFile(info, other))
                return true;
        // Only a file with several names can be a lock file under another one.
        if (info.st_nlink < 2 || stem.empty())
            return false;
        size_t slash = stem.rfind('/');
        std::string folder = stem.substr(0, slash + 1), start = stem.substr(slash + 1);
        bool found = false;
        DIR *dir = opendir(folder.c_str());
        while (dir && !found) {
            dirent *entry = readdir(dir);
            if (!entry)
                break;
            std::string name = entry->d_name;
            found = name.rfind(start, 0) == 0 && stat((folder + name).c_str(), &other) == 0 && SameFile(info, other);
        }
        if (dir)
            closedir(dir);
        return found;
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

namespace ktsensors {

// The host has no service manager: the options that would reach this are not offered there.
int RunServiceCommand(const Options &) { return 2; }

} // namespace ktsensors
