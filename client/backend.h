// What a program needs from the platform it runs on, one part per job: the library (the
// machine set up beneath it, then the seven exports), the registry the library keeps its cache
// in, the clock, and where output goes. The host build runs the simulated notebook over the
// stand-in (backend_linux.cpp, the host runtime that libkovaltherm.so is built on too); the
// Windows build loads Kovaltherm.dll over the real driver (backend_windows.cpp). The rest of
// the tool is the same everywhere.
#ifndef KTSENSORS_BACKEND_H
#define KTSENSORS_BACKEND_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "exports.h"
#include "sim/notebook.h"

namespace ktsensors {

// One registry value and one key with everything under it, as a registry walk finds them.
struct RegEntry {
    std::string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct RegKey {
    std::string path; // full path, starting with the root key's name
    std::vector<RegEntry> values;
    std::vector<RegKey> subkeys;
};

// How a backend step ended: fine, a failure (exit 1) or a misuse of the options (exit 2).
enum class Outcome { Ok, Failure, Usage };

// The library, loaded over the machine it reads.
class Library {
public:
    virtual ~Library() = default;
    // Makes the library, once started, write its diagnostic lines to standard error.
    virtual void EnableTrace() = 0;
    // Loads `scenario` (or the default machine when null) and then the library. `fastClock`
    // asks for simulated time that runs only when waited on, where there is such a thing.
    virtual Outcome Start(const SimConfig *scenario, bool fastClock, std::string *error) = 0;
    // The notebook being simulated, when the platform knows it; else null.
    virtual const SimConfig *Notebook() const = 0;
    // The loaded library's exports.
    virtual const Exports &Functions() const = 0;
    // Whether the machine beneath the loaded library went away (its driver stopped), so that
    // each call can only fail, after the controller's whole wait; why in *why.
    virtual bool Gone(std::string *why) { (void)why; return false; }
    // Unloads the library.
    virtual void Stop() = 0;
};

// The registry the library keeps its sensor cache in, under HKEY_LOCAL_MACHINE.
class Registry {
public:
    virtual ~Registry() = default;
    // Whether the registry is a file of the tool's own, chosen by --registry.
    virtual bool IsFile() const = 0;
    // The registry file's path once one is opened; "" before, and for the system registry.
    virtual const std::string &File() const = 0;
    // Opens the registry the library will use; `registryPath` is the --registry option and
    // `notebook` the simulated notebook it is for (null: the default one), whose own file a
    // host registry chosen by default is. Without `mayCreate` a registry that does not exist
    // yet is a failure, not created.
    virtual Outcome Open(const std::string &registryPath, const SimConfig *notebook, bool mayCreate,
                         std::string *error) = 0;
    // Reads the key at `path` with everything below it.
    virtual Outcome ReadTree(const std::string &path, RegKey *tree, std::string *error) = 0;
    // Removes the sensor cache (the key at `path` with its subkeys) from the opened registry,
    // so that the library builds it afresh. A cache that is not there is no failure.
    virtual Outcome RemoveKey(const std::string &path, std::string *error) = 0;
    // Why the registry last failed, if the platform can tell ("" otherwise).
    virtual std::string Problem() const = 0;
};

// Where readings and documents go besides standard output.
class Output {
public:
    virtual ~Output() = default;
    // Makes sure standard input, output and error are open, so that no file the tool opens
    // takes their place; a closed output is replaced by one that refuses writes.
    virtual void GuardStandardStreams() = 0;
    // Whether text may use the degree sign: a UTF-8 locale on the host; never on Windows,
    // whose consoles show it only in some code pages.
    virtual bool DegreeSign() const = 0;
    // Replaces the file at `path` with `text` atomically: a temporary file in the same
    // folder, written and flushed to disk, then renamed over it. False with a message.
    virtual bool SaveAtomically(const std::string &path, const std::string &text, std::string *error) = 0;
};

// The machine's clock: the one the library waits on.
class MachineClock {
public:
    virtual ~MachineClock() = default;
    // Milliseconds since the library was started.
    virtual uint64_t NowMs() = 0;
    // Lets `ms` milliseconds pass.
    virtual void WaitMs(uint64_t ms) = 0;
};

// The platform's machine. The library is declared after the registry and the clock it uses,
// so that it is unloaded before they go.
struct Backend {
    std::string description; // a short description of the machine for --version and --help
    std::unique_ptr<Registry> registry;
    std::unique_ptr<MachineClock> clock;
    std::unique_ptr<Library> library;
};

// The backend of this build.
std::unique_ptr<Backend> MakeBackend();

// This build's output (output_linux.cpp, output_windows.cpp), which never replaces the file of
// `registry`; the output keeps a reference to it.
std::unique_ptr<Output> MakeOutput(const Registry &registry);

} // namespace ktsensors

#endif
