// ktsensors: prints every thermal sensor of the notebook as Kovaltherm.dll reports it, calling
// only the library's seven exports, like any application.
#include <signal.h>
#include <stdio.h>

#include <errno.h>
#include <string.h>

#include "backend.h"
#include "listen.h"
#include "check.h"
#include "tool.h"
#include "base/cache_layout.h"
#include "options.h"
#include "plot.h"
#include "readings.h"
#include "regedit.h"
#include "scenario.h"

namespace ktsensors {

namespace {

enum ExitCode { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

// Readings taken by --plot when --count does not say, and the interval without a scenario.
const uint64_t kPlotSamples = 240;
const uint64_t kPlotIntervalMs = 1000;
// Longest single wait, so that an interrupt is noticed promptly.
const uint64_t kWaitSliceMs = 100;

// The signal that asked the run to stop (SIGINT, SIGTERM or SIGHUP), 0 while none has.
volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int number) { g_interrupted = number; }

// Has SIGINT, and where they exist SIGTERM and SIGHUP, end the run: the reading in progress
// is abandoned once the export under way returns. A system call the signal interrupts is not
// restarted, so that no write or wait outlasts it.
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

int Complain(int code, const std::string &message)
{
    fprintf(stderr, "ktsensors: %s\n", message.c_str());
    return code;
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

// Waits until `targetMs` on the machine's clock, or until interrupted.
void WaitUntil(MachineClock &clock, uint64_t targetMs)
{
    for (uint64_t now = clock.NowMs(); now < targetMs && !g_interrupted; now = clock.NowMs()) {
        uint64_t left = targetMs - now;
        clock.WaitMs(left < kWaitSliceMs ? left : kWaitSliceMs);
    }
}

// One line naming what failed in a run, for stderr.
std::string FailureSummary(const std::vector<std::string> &failed, uint64_t readingsWithNoSensors,
                           const std::string &registryProblem)
{
    std::string message;
    if (readingsWithNoSensors && failed.empty())
        message = "no thermal sensors: the machine has no thermal support, or the sensor cache "
                  "could not be read";
    else {
        message = std::to_string(failed.size()) + " call" + (failed.size() == 1 ? "" : "s") + " failed:";
        for (size_t i = 0; i < failed.size() && i < 6; ++i)
            message += " " + failed[i];
        if (failed.size() > 6)
            message += " ...";
    }
    if (!registryProblem.empty())
        message += " (" + registryProblem + ")";
    return message;
}

// Lower-cases ASCII letters: registry names compare without case.
std::string Folded(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

// The sensor keys of the cache by physical index; null where the cache has none.
std::vector<const RegKey *> SensorKeys(const RegKey &cache)
{
    std::vector<const RegKey *> keys(MAPPED_INDEX_LIMIT, nullptr);
    for (const RegKey &sub : cache.subkeys) {
        std::string name = sub.path.substr(sub.path.rfind('\\') + 1);
        for (int index = 0; index < MAPPED_INDEX_LIMIT; ++index) {
            char expected[32];
            snprintf(expected, sizeof expected, SENSOR_KEY_FORMAT, index);
            if (Folded(name) == Folded(expected))
                keys[index] = &sub;
        }
    }
    return keys;
}

// The physical indices the cache marks present, in order: the ordinals' sensors.
std::vector<int> PresentInCache(const RegKey &cache)
{
    std::vector<int> present;
    std::vector<const RegKey *> keys = SensorKeys(cache);
    for (int index = 0; index < MAPPED_INDEX_LIMIT; ++index) {
        int flag = 0;
        if (keys[index] && DwordValue(*keys[index], VALUE_IS_PRESENT, &flag) && flag == 1)
            present.push_back(index);
    }
    return present;
}

std::string IndexList(const std::vector<int> &indices)
{
    if (indices.empty())
        return "none";
    std::string text;
    for (int index : indices)
        text += (text.empty() ? "" : ", ") + std::to_string(index);
    return text;
}

// Why the cache does not describe `notebook`'s sensors, or "" when it does (or is absent).
std::string CacheMismatch(const RegKey &cache, const SimConfig &notebook, const std::string &whose)
{
    std::vector<int> cached = PresentInCache(cache);
    std::vector<int> expected;
    for (int index = 0; index < (int)SIM_PHYSICAL_SENSORS; ++index)
        if (notebook.presence & (1u << index))
            expected.push_back(index);
    if (cached == expected)
        return "";
    return "the sensor cache in use has sensors " + IndexList(cached) + " but " + whose + " has sensors " +
           IndexList(expected) + ": run with --reset-cache to rebuild it";
}

// The status thresholds of each ordinal's sensor, from the cache.
std::vector<StatusThresholds> ThresholdsFromCache(const RegKey &cache)
{
    std::vector<StatusThresholds> thresholds;
    std::vector<const RegKey *> keys = SensorKeys(cache);
    for (int index : PresentInCache(cache)) {
        StatusThresholds t;
        t.known = DwordValue(*keys[index], VALUE_WARNING_HIGH, &t.warningHigh) &&
                  DwordValue(*keys[index], VALUE_WARNING_NORMAL, &t.warningNormal) &&
                  DwordValue(*keys[index], VALUE_CRITICAL_HIGH, &t.criticalHigh);
        thresholds.push_back(t);
    }
    return thresholds;
}

// Reads the sensor cache as the run left it; false when there is none to read.
bool ReadCacheAfterRun(Registry &registry, const Options &options, RegKey *cache)
{
    std::string error;
    return registry.Open(options.registry, false, &error) == Outcome::Ok &&
           registry.ReadTree(THERMAL_KEY_PATH, cache, &error) == Outcome::Ok;
}

// Checks the scenario, opens the registry, removes the cache when asked, then starts the
// machine and the library; on failure the outcome and its message in `error`.
Outcome StartLibrary(Backend &backend, const Options &options, bool fastClock, std::string *error)
{
    // The scenario is checked before anything else is touched.
    SimConfig scenario;
    bool haveScenario = !options.scenario.empty();
    if (haveScenario && !LoadScenarioFile(options.scenario, &scenario, error)) {
        *error = "scenario " + *error;
        return Outcome::Usage;
    }
    Outcome outcome = backend.registry->Open(options.registry, true, error);
    if (outcome == Outcome::Ok && options.resetCache)
        outcome = backend.registry->RemoveKey(THERMAL_KEY_PATH, error);
    if (options.trace)
        backend.library->EnableTrace();
    if (outcome == Outcome::Ok)
        outcome = backend.library->Start(haveScenario ? &scenario : nullptr, fastClock, error);
    return outcome;
}

// StartLibrary for the commands that take readings: EXIT_OK, or the exit code after
// complaining.
int StartMachine(Backend &backend, const Options &options, bool fastClock)
{
    std::string error;
    Outcome outcome = StartLibrary(backend, options, fastClock, &error);
    return outcome == Outcome::Ok ? EXIT_OK : Complain(FromOutcome(outcome), error);
}

// The failures of a run in one line, or "" when there was none.
struct RunFailures {
    std::vector<std::string> calls;
    uint64_t readingsWithNoSensors = 0;

    void Add(const Reading &reading)
    {
        for (const std::string &call : FailedCalls(reading))
            if (call != "LMGetNumSensors")
                calls.push_back(call);
        readingsWithNoSensors += reading.sensorCount <= 0;
    }
    bool Any() const { return !calls.empty() || readingsWithNoSensors; }
};

// Ends a run: unloads the library, then reports a cache that does not fit the notebook, else
// any failed call.
int FinishRun(Backend &backend, const Options &options, const RunFailures &failures, RegKey *cache)
{
    std::string registryProblem = backend.registry->Problem();
    const SimConfig *notebookPointer = backend.library->Notebook();
    SimConfig notebook = notebookPointer ? *notebookPointer : SimConfig{};
    backend.library->Stop();
    bool haveCache = ReadCacheAfterRun(*backend.registry, options, cache);
    if (haveCache && notebookPointer) {
        std::string mismatch =
            CacheMismatch(*cache, notebook, options.scenario.empty() ? "the notebook" : "the scenario");
        if (!mismatch.empty())
            return Complain(EXIT_FAILED, mismatch);
    }
    if (failures.Any())
        return Complain(EXIT_FAILED, FailureSummary(failures.calls, failures.readingsWithNoSensors, registryProblem));
    return EXIT_OK;
}

// A reading in `format`; `oneLine` asks for a document on one line, as several documents
// written one after another must be.
std::string Render(const Reading &reading, Format format, bool first, bool oneLine, bool degreeSign)
{
    switch (format) {
    case Format::Json: return FormatJson(reading);
    case Format::SensorsJson: return FormatSensorsJson(reading, oneLine);
    case Format::Prometheus: return FormatPrometheus(reading);
    case Format::Text: break;
    }
    return (first ? "" : "\n") + FormatText(reading, degreeSign);
}

int RunDumpRegistry(Backend &backend, const Options &options)
{
    std::string error;
    Outcome outcome = backend.registry->Open(options.registry, false, &error);
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

// Writes a Prometheus document saying that nothing could be read (kovaltherm_up 0), so that a
// collector never takes an earlier file for the present; false with a message.
bool WriteUnloaded(Backend &backend, const Options &options, std::string *error)
{
    std::string text = FormatPrometheus(UnloadedReading(*backend.clock, 1));
    return options.output.empty() ? Emit(text, error) : backend.output->SaveAtomically(options.output, text, error);
}

// Readings printed as they are taken, to standard output or replacing --output each time.
int RunReadings(Backend &backend, const Options &options)
{
    int code = StartMachine(backend, options, false);
    if (code == EXIT_FAILED && options.format == Format::Prometheus) {
        std::string error;
        if (!WriteUnloaded(backend, options, &error))
            return Complain(EXIT_FAILED, error);
    }
    if (code != EXIT_OK)
        return code;
    uint64_t intervalMs = (uint64_t)(options.watchSeconds * 1000 + 0.5);
    CatchStopSignals();
    RunFailures failures;
    std::string error;
    const uint64_t start = backend.clock->NowMs();
    for (uint64_t n = 0; (options.count == 0 || n < options.count) && !g_interrupted; ++n) {
        if (n > 0)
            WaitUntil(*backend.clock, start + n * intervalMs);
        if (g_interrupted)
            break;
        Reading reading = TakeReading(backend.library->Functions(), *backend.clock, n + 1, &g_interrupted);
        if (g_interrupted)
            break; // abandoned: neither written nor counted
        failures.Add(reading);
        std::string text = Render(reading, options.format, n == 0 || !options.output.empty(),
                                  options.output.empty() && options.count != 1, backend.output->DegreeSign());
        bool written =
            options.output.empty() ? Emit(text, &error) : backend.output->SaveAtomically(options.output, text, &error);
        if (!written && !g_interrupted) {
            backend.library->Stop();
            return Complain(EXIT_FAILED, error);
        }
    }
    RegKey cache;
    return FinishRun(backend, options, failures, &cache);
}

// Readings served over HTTP until interrupted (SIGINT or SIGTERM). Failed calls are in the
// pages, not in the exit status: 0 after a clean stop, 1 when it could not listen.
int RunListen(Backend &backend, const Options &options)
{
    int code = StartMachine(backend, options, false);
    if (code != EXIT_OK)
        return code;
    signal(SIGINT, OnInterrupt);
    signal(SIGTERM, OnInterrupt);
    ReadingSource source(*backend.library, *backend.clock, options.maxAgeMs);
    std::string error;
    bool served = Serve(options.listenHost, options.listenPort, source, &g_interrupted,
                        [](const std::string &url) {
                            fprintf(stderr, "ktsensors: serving %smetrics and %sjson\n", url.c_str(), url.c_str());
                            fflush(stderr);
                        },
                        &error);
    backend.library->Stop();
    return served ? EXIT_OK : Complain(EXIT_FAILED, error);
}

// One reading judged as a monitoring plugin: one line on standard output, exit 0 to 3.
int RunCheck(Backend &backend, const Options &options)
{
    CheckResult result;
    std::string error;
    if (StartLibrary(backend, options, false, &error) != Outcome::Ok)
        result = CheckUnknown(error);
    else {
        Reading reading = TakeReading(backend.library->Functions(), *backend.clock, 1);
        const SimConfig *notebook = backend.library->Notebook();
        SimConfig copy = notebook ? *notebook : SimConfig{};
        backend.library->Stop();
        RegKey cache;
        std::string mismatch;
        if (notebook && ReadCacheAfterRun(*backend.registry, options, &cache))
            mismatch = CacheMismatch(cache, copy, options.scenario.empty() ? "the notebook" : "the scenario");
        result = mismatch.empty() ? JudgeReading(reading, options.checkOptions) : CheckUnknown(mismatch);
    }
    if (!Emit(result.line, &error))
        return kCheckUnknown;
    return result.state;
}

// The notebook's traces run through the library on its own clock, then drawn.
int RunPlot(Backend &backend, const Options &options)
{
    int code = StartMachine(backend, options, true);
    if (code != EXIT_OK)
        return code;
    const SimConfig *notebook = backend.library->Notebook();
    uint32_t duration = notebook ? ScenarioDurationMs(*notebook) : 0;
    uint64_t count = options.countGiven ? options.count : kPlotSamples;
    uint64_t intervalMs = options.watch ? (uint64_t)(options.watchSeconds * 1000 + 0.5)
                          : duration && count > 1 ? duration / (count - 1) : kPlotIntervalMs;
    CatchStopSignals();
    RunFailures failures;
    std::vector<Reading> readings;
    const uint64_t start = backend.clock->NowMs();
    for (uint64_t n = 0; n < count && !g_interrupted; ++n) {
        if (n > 0)
            WaitUntil(*backend.clock, start + n * intervalMs);
        if (g_interrupted)
            break;
        Reading reading = TakeReading(backend.library->Functions(), *backend.clock, n + 1, &g_interrupted);
        if (g_interrupted)
            break;
        readings.push_back(reading);
        failures.Add(readings.back());
    }
    RegKey cache;
    code = FinishRun(backend, options, failures, &cache);

    std::string title = "Kovaltherm: " + (options.scenario.empty() ? std::string("default notebook") : options.scenario);
    std::string error;
    if (!backend.output->SaveAtomically(options.plot, PlotSvg(readings, title, ThresholdsFromCache(cache)), &error))
        return Complain(EXIT_FAILED, error);
    char summary[64];
    snprintf(summary, sizeof summary, ": %zu readings over %.1f s\n", readings.size(),
             readings.empty() ? 0.0 : (readings.back().timeMs - readings.front().timeMs) / 1000.0);
    if (!Emit("wrote " + options.plot + summary, &error))
        return Complain(EXIT_FAILED, error);
    return code;
}

} // namespace

int Run(int argc, char **argv)
{
    std::unique_ptr<Backend> backend = MakeBackend();
    backend->output->GuardStandardStreams();
    Platform platform;
    platform.machine = backend->description;
    platform.registryFile = backend->registry->IsFile();
    platform.service = backend->service != nullptr;
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
        int (*service)(const Options &) = backend->service;
        backend.reset();
        return service(options);
    }
    if (options.check)
        return RunCheck(*backend, options);
    if (options.dumpRegistry)
        return RunDumpRegistry(*backend, options);
    if (!options.plot.empty())
        return RunPlot(*backend, options);
    if (options.listen)
        return RunListen(*backend, options);
    return RunReadings(*backend, options);
}

} // namespace ktsensors
