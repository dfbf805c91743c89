// ktsensors: prints every thermal sensor of the notebook as Kovaltherm.dll reports it, calling
// only the library's seven exports, like any application.
#include <signal.h>
#include <stdio.h>

#include <fstream>

#include "backend.h"
#include "tool.h"
#include "cache/store.h"
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

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

int Complain(int code, const std::string &message)
{
    fprintf(stderr, "ktsensors: %s\n", message.c_str());
    return code;
}

int FromOutcome(Outcome outcome) { return outcome == Outcome::Usage ? EXIT_USAGE : EXIT_FAILED; }

// Waits until `targetMs` on the machine's clock, or until interrupted.
void WaitUntil(Backend &backend, uint64_t targetMs)
{
    for (uint64_t now = backend.NowMs(); now < targetMs && !g_interrupted; now = backend.NowMs()) {
        uint64_t left = targetMs - now;
        backend.WaitMs(left < kWaitSliceMs ? left : kWaitSliceMs);
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

int DumpRegistry(Backend &backend, const Options &options)
{
    std::string error;
    Outcome outcome = backend.OpenRegistry(options.registry, false, &error);
    if (outcome != Outcome::Ok)
        return Complain(FromOutcome(outcome), error);
    RegKey tree;
    outcome = backend.ReadRegistryTree(THERMAL_KEY_PATH, &tree, &error);
    if (outcome != Outcome::Ok)
        return Complain(FromOutcome(outcome), error);
    fputs(FormatRegedit4(tree).c_str(), stdout);
    return EXIT_OK;
}

} // namespace

int Run(int argc, char **argv)
{
    std::unique_ptr<Backend> backend = MakeBackend();
    Options options;
    std::string text;
    switch (ParseOptions(argc, argv, backend->Describe(), &options, &text)) {
    case ParseResult::Done:
        fputs(text.c_str(), stdout);
        return EXIT_OK;
    case ParseResult::UsageError:
        return Complain(EXIT_USAGE, text);
    case ParseResult::Run:
        break;
    }
    if (options.dumpRegistry)
        return DumpRegistry(*backend, options);

    // The scenario is checked before anything else is touched.
    SimConfig scenario;
    bool haveScenario = !options.scenario.empty();
    std::string error;
    if (haveScenario && !LoadScenarioFile(options.scenario, &scenario, &error))
        return Complain(EXIT_USAGE, "scenario " + error);

    bool plotting = !options.plot.empty();
    Outcome outcome = backend->OpenRegistry(options.registry, true, &error);
    if (options.trace)
        backend->EnableTrace();
    if (outcome == Outcome::Ok)
        outcome = backend->Start(haveScenario ? &scenario : nullptr, plotting, &error);
    if (outcome != Outcome::Ok)
        return Complain(FromOutcome(outcome), error);

    uint64_t count = options.count;
    uint64_t intervalMs = (uint64_t)(options.watchSeconds * 1000 + 0.5);
    if (plotting) {
        const SimConfig *notebook = backend->Notebook();
        uint32_t duration = notebook ? ScenarioDurationMs(*notebook) : 0;
        if (!options.countGiven)
            count = kPlotSamples;
        if (!options.watch)
            intervalMs = duration && count > 1 ? duration / (count - 1) : kPlotIntervalMs;
    }

    signal(SIGINT, OnInterrupt);
    std::vector<Reading> readings;
    std::vector<std::string> failed;
    uint64_t readingsWithNoSensors = 0;
    const uint64_t start = backend->NowMs();
    for (uint64_t n = 0; (count == 0 || n < count) && !g_interrupted; ++n) {
        if (n > 0)
            WaitUntil(*backend, start + n * intervalMs);
        if (g_interrupted)
            break;
        Reading reading = TakeReading(backend->Library(), *backend, n + 1);
        for (const std::string &call : FailedCalls(reading))
            if (call != "LMGetNumSensors")
                failed.push_back(call);
        readingsWithNoSensors += reading.sensorCount <= 0;
        if (plotting) {
            readings.push_back(reading);
            continue;
        }
        if (options.json)
            fputs(FormatJson(reading).c_str(), stdout);
        else
            fputs(((n > 0 ? "\n" : "") + FormatText(reading)).c_str(), stdout);
        fflush(stdout);
    }
    std::string registryProblem = backend->RegistryProblem();
    backend->Stop();

    if (plotting) {
        std::string title = "Kovaltherm: " + (haveScenario ? options.scenario : std::string("default notebook"));
        std::ofstream out(options.plot, std::ios::binary);
        if (!(out << PlotSvg(readings, title)) || !(out.flush()))
            return Complain(EXIT_FAILED, "cannot write " + options.plot);
        printf("wrote %s: %zu readings over %.1f s\n", options.plot.c_str(), readings.size(),
               readings.empty() ? 0.0 : (readings.back().timeMs - readings.front().timeMs) / 1000.0);
    }
    if (!failed.empty() || readingsWithNoSensors)
        return Complain(EXIT_FAILED, FailureSummary(failed, readingsWithNoSensors, registryProblem));
    return EXIT_OK;
}

} // namespace ktsensors
