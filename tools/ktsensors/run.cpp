// A run of readings: starting the library, the reading loop, and the run's failures.
#include "run.h"

#include "base/cache_layout.h"
#include "scenario.h"

namespace ktsensors {

namespace {

// Longest single wait on the machine's clock, so that a stop is noticed promptly.
const uint64_t kWaitSliceMs = 100;
// Failed calls a summary names; more are "...".
const size_t kSummaryCalls = 6;

// Waits until `targetMs` on the machine's clock, or until stopped.
void WaitUntil(Backend &backend, const Schedule &schedule, uint64_t targetMs)
{
    auto stopped = [&] { return schedule.stop && *schedule.stop; };
    for (uint64_t now = backend.clock->NowMs(); now < targetMs && !stopped(); now = backend.clock->NowMs()) {
        uint64_t left = targetMs - now;
        if (schedule.pause)
            schedule.pause(left);
        else
            backend.clock->WaitMs(left < kWaitSliceMs ? left : kWaitSliceMs);
    }
}

} // namespace

Outcome StartLibrary(Backend &backend, const Options &options, bool fastClock, std::string *error)
{
    // The scenario is checked before anything else is touched.
    SimConfig scenario;
    bool haveScenario = !options.scenario.empty();
    if (haveScenario && !LoadScenarioFile(options.scenario, &scenario, error)) {
        *error = "scenario " + *error;
        return Outcome::Usage;
    }
    Outcome outcome = backend.registry->Open(options.registry, haveScenario ? &scenario : nullptr, true, error);
    if (outcome == Outcome::Ok && options.resetCache)
        outcome = backend.registry->RemoveKey(THERMAL_KEY_PATH, error);
    if (options.trace)
        backend.library->EnableTrace();
    if (outcome == Outcome::Ok)
        outcome = backend.library->Start(haveScenario ? &scenario : nullptr, fastClock, error);
    return outcome;
}

void RunFailures::Add(const Reading &reading)
{
    for (const std::string &call : FailedCalls(reading))
        if (call != "LMGetNumSensors")
            calls.push_back(call);
    readingsWithNoSensors += reading.sensorCount <= 0;
    if (reading.sensorCount > 0 && CountFailed(reading))
        countProblem = CountProblem(reading);
}

std::string RunFailures::Summary(const std::string &registryProblem) const
{
    std::string message;
    if (readingsWithNoSensors && calls.empty())
        message = "no thermal sensors: the machine has no thermal support, or the sensor cache "
                  "could not be read";
    else {
        message = countProblem;
        if (!calls.empty())
            message += (message.empty() ? "" : "; ") + std::to_string(calls.size()) + " call" +
                       (calls.size() == 1 ? "" : "s") + " failed:";
        for (size_t i = 0; i < calls.size() && i < kSummaryCalls; ++i)
            message += " " + calls[i];
        if (calls.size() > kSummaryCalls)
            message += " ...";
    }
    if (!registryProblem.empty())
        message += " (" + registryProblem + ")";
    return message;
}

void ReadingLoop(Backend &backend, const Options &options, const Schedule &schedule, const ReadingHandler &handle)
{
    auto stopped = [&] { return schedule.stop && *schedule.stop; };
    bool running = !schedule.restart;
    // The schedule counts from the library's start: restarted, its clock starts again.
    uint64_t start = backend.clock->NowMs(), due = 0;
    for (uint64_t n = 0; (schedule.count == 0 || n < schedule.count) && !stopped(); ++n, ++due) {
        if (due > 0)
            WaitUntil(backend, schedule, start + due * schedule.intervalMs);
        if (stopped())
            break;
        std::string startProblem;
        if (!running) {
            running = StartLibrary(backend, options, false, &startProblem) == Outcome::Ok;
            if (running) {
                start = backend.clock->NowMs();
                due = 0;
            } else
                backend.library->Stop();
        }
        // With restarts, a machine that went away ends the reading at once: the library is
        // started again for the next one, and does not start without it.
        std::function<bool()> gone;
        if (schedule.restart)
            gone = [&] { return backend.library->Gone(&startProblem); };
        Reading reading = running ? TakeReading(backend.library->Functions(), *backend.clock, n + 1, schedule.stop, gone)
                                  : UnloadedReading(*backend.clock, n + 1);
        if (stopped())
            break; // abandoned: neither handed on nor counted
        if (!handle(reading, startProblem))
            break;
        if (schedule.restart && running && !ReadingSucceeded(reading)) {
            backend.library->Stop();
            running = false;
        }
    }
    if (schedule.restart)
        backend.library->Stop();
}

} // namespace ktsensors
