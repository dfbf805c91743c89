// A run of readings, the same for every mode that reads (readings, --plot, --check, --listen,
// the Windows service): the library started as the options say, readings taken on a
// schedule, and the run's failures in one line.
#ifndef KTSENSORS_RUN_H
#define KTSENSORS_RUN_H

#include <signal.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "backend.h"
#include "options.h"
#include "readings.h"

namespace ktsensors {

// Checks the scenario, opens the registry, removes the cache when asked, then starts the
// machine and the library; on failure the outcome (Usage for a malformed scenario or a
// misused option) and its message in `error`. `fastClock` asks for simulated time.
Outcome StartLibrary(Backend &backend, const Options &options, bool fastClock, std::string *error);

// The failed calls of a run's readings and the readings that found no sensors.
struct RunFailures {
    std::vector<std::string> calls;
    uint64_t readingsWithNoSensors = 0;
    std::string countProblem; // the last reading's whose count changed or could not be read whole

    // Adds a reading's failures: its failed calls, that it found no sensors, or that its count
    // failed.
    void Add(const Reading &reading);
    // Whether any reading had a failure.
    bool Any() const { return !calls.empty() || readingsWithNoSensors || !countProblem.empty(); }
    // The failures in one line ("2 calls failed: LMReadTemperature(0) ...", or that there
    // were no sensors), with the registry's problem, if any, in brackets.
    std::string Summary(const std::string &registryProblem = "") const;
};

// When readings are taken: `count` of them (0: until stopped), the n-th (from 0) due
// `intervalMs` * n after the library started, or until `*stop` is set.
struct Schedule {
    uint64_t count = 1;
    uint64_t intervalMs = 0;
    const volatile sig_atomic_t *stop = nullptr;
    // Waits up to `ms`, returning early once stopped; null: the machine's clock, in slices
    // short enough for a signal's stop to be noticed promptly.
    std::function<void(uint64_t ms)> pause;
    // Starts the library before a reading whenever it is not running, and stops it after a
    // failed reading: the driver may start, or restart, in the meantime (the service). Without
    // it the library must be running before the loop.
    bool restart = false;
};

// What a reading loop does with each reading: false ends the loop. `startProblem` says why
// the library could not be started, for a reading taken without it.
using ReadingHandler = std::function<bool(const Reading &reading, const std::string &startProblem)>;

// Takes readings on `schedule`, handing each to `handle`. A reading that a stop cut short
// is abandoned: neither handed on nor counted. With `restart`, the library is left stopped.
void ReadingLoop(Backend &backend, const Options &options, const Schedule &schedule, const ReadingHandler &handle);

} // namespace ktsensors

#endif
