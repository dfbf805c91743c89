// ktsensors: prints every thermal sensor of the notebook as Kovaltherm.dll reports it, calling
// only the library's seven exports, like any application.
#include <signal.h>
#include <stdio.h>

#include <errno.h>
#include <string.h>

#include <cstdlib>

#include "backend.h"
#include "cache_check.h"
#include "check.h"
#include "deadline.h"
#include "formats.h"
#include "interval_rules.h"
#include "listen.h"
#include "options.h"
#include "plot.h"
#include "readings.h"
#include "regedit.h"
#include "run.h"
#include "scenario.h"
#include "service.h"
#include "tool.h"
#include "base/cache_layout.h"

namespace ktsensors {

namespace {

enum ExitCode { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

// Readings taken by --plot when --count does not say, and the interval without a scenario.
const uint64_t kPlotSamples = 240;
const uint64_t kPlotIntervalMs = 1000;

// The signal that asked the run to stop (SIGINT, SIGTERM or SIGHUP), 0 while none has.
volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int number) { g_interrupted = number; }

// Has SIGINT, and where they exist SIGTERM and SIGHUP, end the run: the reading in progress
// is abandoned at its next check (see TakeReading). A system call the signal interrupts is
// not restarted, so that no write or wait outlasts it.
void CatchStopSignals()
{
#ifdef _WIN32
    signal(SIGINT, OnInterrupt);
#else
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (int stop : {SIGINT, SIGTERM, SIGHUP})
        sigaction(stop, &action, nullptr);
#endif
}

int FromOutcome(Outcome outcome) { return outcome == Outcome::Usage ? EXIT_USAGE : EXIT_FAILED; }

// Writes `text` to standard output and makes sure it got there; false with a message.
bool Emit(const std::string &text, std::string *error)
{
    errno = 0;
    bool ok = fwrite(text.data(), 1, text.size(), stdout) == text.size();
    ok = fflush(stdout) == 0 && ok && !ferror(stdout);
    if (!ok)
        *error = std::string("cannot write to standard output: ") + (errno ? strerror(errno) : "write failed");
    return ok;
}

// StartLibrary for the commands that take readings: EXIT_OK, or the exit code after
// complaining.
int StartMachine(Backend &backend, const Options &options, bool fastClock)
{
    std::string error;
    Outcome outcome = StartLibrary(backend, options, fastClock, &error);
    return outcome == Outcome::Ok ? EXIT_OK : Complain(FromOutcome(outcome), error);
}

// Ends a run: unloads the library, then reports a cache that does not fit the notebook, else
// any failed call.
int FinishRun(Backend &backend, const Options &options, const RunFailures &failures, RegKey *cache)
{
    std::string registryProblem = backend.registry->Problem();
    backend.library->Stop();
    std::string misfit = CacheMisfit(backend, options, cache);
    if (!misfit.empty())
        return Complain(EXIT_FAILED, misfit);
    if (failures.Any())
        return Complain(EXIT_FAILED, failures.Summary(registryProblem));
    return EXIT_OK;
}

// The interval between readings that --watch asks for.
uint64_t WatchIntervalMs(const Options &options) { return KtIntervalMs(options.watchSeconds); }

// Prints the sensor cache of the registry a run with these options uses: with --scenario, the
// scenario's notebook's own.
int RunDumpRegistry(Backend &backend, const Options &options)
{
    std::string error;
    SimConfig scenario;
    bool haveScenario = !options.scenario.empty();
    if (haveScenario && !LoadScenarioFile(options.scenario, &scenario, &error))
        return Complain(EXIT_USAGE, "scenario " + error);
    Outcome outcome = backend.registry->Open(options.registry, haveScenario ? &scenario : nullptr, false, &error);
    if (outcome != Outcome::Ok)
        return Complain(FromOutcome(outcome), error);
    RegKey tree;
    outcome = backend.registry->ReadTree(THERMAL_KEY_PATH, &tree, &error);
    if (outcome != Outcome::Ok)
        return Complain(FromOutcome(outcome), error);
    if (!Emit(FormatRegedit4(tree), &error))
        return Complain(EXIT_FAILED, error);
    return EXIT_OK;
}

// Writes the format's document for a library that did not load (Prometheus: kovaltherm_up 0),
// so that a collector never takes an earlier file for the present; false with a message.
bool WriteUnloaded(Backend &backend, Output &output, const Options &options, std::string *error)
{
    std::string text = options.format->render(UnloadedReading(*backend.clock, 1), RenderOptions{});
    return options.output.empty() ? Emit(text, error) : output.SaveAtomically(options.output, text, error);
}

// Readings printed as they are taken, to standard output or replacing --output each time.
int RunReadings(Backend &backend, Output &output, const Options &options)
{
    int code = StartMachine(backend, options, false);
    if (code == EXIT_FAILED && options.format->reportsUnloaded) {
        std::string error;
        if (!WriteUnloaded(backend, output, options, &error))
            return Complain(EXIT_FAILED, error);
    }
    if (code != EXIT_OK)
        return code;
    CatchStopSignals();
    Schedule schedule;
    schedule.count = options.count;
    schedule.intervalMs = WatchIntervalMs(options);
    schedule.stop = &g_interrupted;
    RunFailures failures;
    std::string error;
    bool written = true;
    ReadingLoop(backend, options, schedule, [&](const Reading &reading, const std::string &) {
        failures.Add(reading);
        RenderOptions layout;
        layout.first = reading.number == 1 || !options.output.empty();
        layout.oneLine = options.output.empty() && options.count != 1;
        layout.degreeSign = output.DegreeSign();
        std::string text = options.format->render(reading, layout);
        written = options.output.empty() ? Emit(text, &error) : output.SaveAtomically(options.output, text, &error);
        return written || g_interrupted;
    });
    if (!written && !g_interrupted) {
        backend.library->Stop();
        return Complain(EXIT_FAILED, error);
    }
    RegKey cache;
    return FinishRun(backend, options, failures, &cache);
}

// Readings served over HTTP until interrupted (SIGINT, SIGTERM or SIGHUP). Failed calls are in
// the pages, not in the exit status: 0 after a stop, 1 when it could not listen.
int RunListen(Backend &backend, const Options &options)
{
    int code = StartMachine(backend, options, false);
    if (code != EXIT_OK)
        return code;
    CatchStopSignals();
    ReadingSource source(*backend.library, *backend.clock, options.maxAgeMs, &g_interrupted);
    std::string error;
    auto print = [](const std::string &line) {
        fprintf(stderr, "ktsensors: %s\n", line.c_str());
        fflush(stderr);
    };
    Served served = Serve(options.listenHost, options.listenPort, source, &g_interrupted,
                          [&](const std::string &url) { print("serving " + url + "metrics and " + url + "json"); },
                          print, &error);
    // A reading the stop could not cut short still holds the library: end as a killed process
    // would, without waiting for it (a lock it holds is left abandoned, which every caller
    // takes as acquired).
    if (served == Served::StoppedInReading)
        std::_Exit(error.empty() ? EXIT_OK : Complain(EXIT_FAILED, error));
    backend.library->Stop();
    return served == Served::Stopped ? EXIT_OK : Complain(EXIT_FAILED, error);
}

// One reading judged as a monitoring plugin: one line on standard output, exit 0 to 3. A
// reading that has not finished within the timeout is abandoned: the watchdog prints UNKNOWN
// and ends the process.
int RunCheck(Backend &backend, const Options &options)
{
    CheckResult result;
    std::string error;
    Deadline deadline;
    unsigned seconds = options.checkOptions.timeoutSeconds;
    deadline.Arm(seconds * 1000ull, kCheckUnknown, [seconds] {
        std::string ignored;
        Emit(CheckTimedOut(seconds).line, &ignored);
    });
    if (StartLibrary(backend, options, false, &error) != Outcome::Ok)
        result = CheckUnknown(error);
    else {
        Reading reading = TakeReading(backend.library->Functions(), *backend.clock, 1);
        backend.library->Stop();
        RegKey cache;
        std::string misfit = CacheMisfit(backend, options, &cache);
        result = misfit.empty() ? JudgeReading(reading, options.checkOptions) : CheckUnknown(misfit);
    }
    deadline.Cancel();
    if (!Emit(result.line, &error))
        return kCheckUnknown;
    return result.state;
}

// The notebook's traces run through the library on its own clock, then drawn.
int RunPlot(Backend &backend, Output &output, const Options &options)
{
    int code = StartMachine(backend, options, true);
    if (code != EXIT_OK)
        return code;
    const SimConfig *notebook = backend.library->Notebook();
    uint32_t duration = notebook ? ScenarioDurationMs(*notebook) : 0;
    Schedule schedule;
    schedule.count = options.countGiven ? options.count : kPlotSamples;
    schedule.intervalMs = options.watch                              ? WatchIntervalMs(options)
                          : duration && schedule.count > 1 ? duration / (schedule.count - 1)
                                                           : kPlotIntervalMs;
    schedule.stop = &g_interrupted;
    CatchStopSignals();
    RunFailures failures;
    std::vector<Reading> readings;
    ReadingLoop(backend, options, schedule, [&](const Reading &reading, const std::string &) {
        readings.push_back(reading);
        failures.Add(reading);
        return true;
    });
    RegKey cache;
    code = FinishRun(backend, options, failures, &cache);

    std::string title = "Kovaltherm: " + (options.scenario.empty() ? std::string("default notebook") : options.scenario);
    std::string error;
    if (!output.SaveAtomically(options.plot, PlotSvg(readings, title, ThresholdsFromCache(cache)), &error))
        return Complain(EXIT_FAILED, error);
    char summary[64];
    snprintf(summary, sizeof summary, ": %zu readings over %.1f s\n", readings.size(),
             readings.empty() ? 0.0 : (readings.back().timeMs - readings.front().timeMs) / 1000.0);
    if (!Emit("wrote " + options.plot + summary, &error))
        return Complain(EXIT_FAILED, error);
    return code;
}

} // namespace

int Complain(int code, const std::string &message)
{
    fprintf(stderr, "ktsensors: %s\n", message.c_str());
    return code;
}

int Run(int argc, char **argv)
{
    std::unique_ptr<Backend> backend = MakeBackend();
    std::unique_ptr<Output> output = MakeOutput(*backend->registry);
    output->GuardStandardStreams();
    Platform platform;
    platform.machine = backend->description;
    platform.registryFile = backend->registry->IsFile();
    platform.service = kHasServiceManager;
    Options options;
    std::string text;
    switch (ParseOptions(argc, argv, platform, &options, &text)) {
    case ParseResult::Done:
        if (!Emit(text, &text))
            return Complain(EXIT_FAILED, text);
        return EXIT_OK;
    case ParseResult::UsageError:
        // A monitor reads a usage error of --check as UNKNOWN, in its own format.
        for (int i = 1; i < argc; ++i)
            if (strcmp(argv[i], "--check") == 0) {
                Emit(CheckUnknown(text).line, &text);
                return kCheckUnknown;
            }
        return Complain(EXIT_USAGE, text);
    case ParseResult::Run:
        break;
    }
    if (options.service != ServiceCommand::None) {
        output.reset();
        backend.reset();
        return kServiceCommand(options);
    }
    if (options.check)
        return RunCheck(*backend, options);
    if (options.dumpRegistry)
        return RunDumpRegistry(*backend, options);
    if (!options.plot.empty())
        return RunPlot(*backend, *output, options);
    if (options.listen)
        return RunListen(*backend, options);
    return RunReadings(*backend, *output, options);
}

} // namespace ktsensors
