// Benchmark of every export on the host: the real clock, the simulated notebook with a
// controller that answers at once, each registry store, each way of waiting. Per export it
// reports wall time per call, the floor set by the exchange's mandated waits and the ratio
// to it, CPU time per call and registry operations per call; a read with an exchange is
// measured next to a bare loop making the same eight 2 ms waits with clock_nanosleep,
// alternating call by call. Then how long each export can block in the worst case, worked
// out from the exchange's timing and measured on the virtual clock. Prints tables, writes
// them as JSON, and exits 0 when everything ran, whether or not the targets held.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <time.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame/entry.h"
#include "hw/controller.h"
#include "sensors/sensor_reads.h"
#include "kovaltherm.h"
#include "platform/host/test_controls.h"
#include "platform/host/sqlite_registry.h"
#include "tests/support/bench_targets.h"

namespace {

// Registry stores to measure; another store is one more line here. `make` returns nullptr
// when the store cannot be opened.
struct RegistryVariant {
    const char *name;
    std::function<std::unique_ptr<host::RegistryStore>()> make;
};

// The SQLite registry file, next to the JSON output; made fresh for every run, removed at
// the end.
std::string g_registryFile;

// Removes the registry file with its write-ahead log and shared-memory index.
void RemoveRegistryFile()
{
    for (const char *suffix : {"", "-wal", "-shm"})
        remove((g_registryFile + suffix).c_str());
}

const std::vector<RegistryVariant> &Registries()
{
    static const std::vector<RegistryVariant> registries = {
        {"memory", [] { return host::MakeMemoryRegistry(); }},
        {"sqlite",
         []() -> std::unique_ptr<host::RegistryStore> {
             RemoveRegistryFile();
             std::string error;
             auto store = host::MakeSqliteRegistry(g_registryFile, &error);
             if (!store)
                 fprintf(stderr, "%s\n", error.c_str());
             return store;
         }},
    };
    return registries;
}

// The ordinal every call asks about: the third sensor, so the mapping walks furthest.
const int kOrdinal = 2;

// Mandated waits of one successful block read.
const double kBlockReadFloorMs = CONTROLLER_ANSWER_LENGTH * ANSWER_BYTE_WAIT_MS;

struct ExportCase {
    const char *name;
    double floorMs;   // mandated waits per call; 0 without a controller exchange
    int (*call)(void); // returns nonzero on success
};

const ExportCase kExports[] = {
    {"LMGetNumSensors", 0, [] { return LMGetNumSensors(); }},
    {"LMGetSensorLocation", 0, [] { int v; return LMGetSensorLocation(kOrdinal, &v); }},
    {"LMReadTemperature", kBlockReadFloorMs, [] { int v; return LMReadTemperature(kOrdinal, &v); }},
    {"LMReadWarningLimit", 0, [] { int v; return LMReadWarningLimit(kOrdinal, &v); }},
    {"LMReadCriticalLimit", 0, [] { int v; return LMReadCriticalLimit(kOrdinal, &v); }},
    {"LMReadTempStatus", kBlockReadFloorMs, [] { int v; return LMReadTempStatus(kOrdinal, &v); }},
    {"ShutdownLibrary", 0, [] { ShutdownLibrary(); return 1; }},
};

// How the machine waits, on a stock Windows scheduler tick of 15.625 ms: the high-resolution
// timer; Sleep with the timer resolution raised to 1 ms for each block read (systems before
// Windows 10 1803); and, to show what that saves, Sleep on the stock tick (winmm missing).
struct WaitSetup {
    const char *name;
    host::TimerSupport support;
    bool winmm;        // winmm.dll loads
    bool exchangeOnly; // measured only for exports with a controller exchange
};

const uint32_t kStockTickUs = 15625;

const WaitSetup kWaitSetups[] = {
    {"timer", host::TimerSupport::HighResolution, true, false},
    {"sleep-1ms-period", host::TimerSupport::Basic, true, true},
    {"sleep-15.6ms-tick", host::TimerSupport::Basic, false, true},
};

const int kRepetitions = 7;

// The bare loop next to a read: the exchange's eight pauses, nothing else.
void BareLoop()
{
    const timespec pause{0, ANSWER_BYTE_WAIT_MS * 1000000L};
    for (int i = 0; i < CONTROLLER_ANSWER_LENGTH; ++i)
        while (clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr) == EINTR) {
        }
}

double Seconds(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

// Puts the stand-in machine in the benchmark's state and loads the library.
bool PrepareMachine(const RegistryVariant &registry, const WaitSetup &wait)
{
    host::ResetMachine(); // also closes the previous run's registry file
    std::unique_ptr<host::RegistryStore> store = registry.make();
    if (!store)
        return false;
    host::UseRegistry(std::move(store));
    host::SetTimerSupport(wait.support);
    host::SetSleepTick(kStockTickUs);
    if (!wait.winmm)
        host::InjectFault(1, host::FaultMode::Persistent, 1u << host::FN_LOAD_LIBRARY);
    host::SetClockMode(host::ClockMode::Real);
    if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr))
        return false;
    return LMGetNumSensors() == 3; // builds the cache from the firmware
}

uint64_t RegistryCalls()
{
    uint64_t calls = 0;
    for (int f = 0; f < host::FN_COUNT; ++f)
        if (host::kRegistryFunctions & (1u << f))
            calls += host::CallCount((host::HostFunction)f);
    return calls;
}

// Calls the export in a loop; with `paired`, each call follows a bare loop, and both are
// timed by hand (wall and thread CPU), so that load drifting over the run hits both alike.
void RunExport(benchmark::State &state, const RegistryVariant *registry, const ExportCase *ex,
               const WaitSetup *wait, bool paired)
{
    if (!PrepareMachine(*registry, *wait)) {
        state.SkipWithError("the registry could not be opened or the library did not load");
        return;
    }
    host::ResetCallCounts();
    double bareWall = 0, bareCpu = 0, cpu = 0;
    for (auto _ : state) {
        if (paired) {
            double w0 = Seconds(CLOCK_MONOTONIC), c0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
            BareLoop();
            double w1 = Seconds(CLOCK_MONOTONIC), c1 = Seconds(CLOCK_THREAD_CPUTIME_ID);
            int ok = ex->call();
            double w2 = Seconds(CLOCK_MONOTONIC), c2 = Seconds(CLOCK_THREAD_CPUTIME_ID);
            bareWall += w1 - w0;
            bareCpu += c1 - c0;
            cpu += c2 - c1;
            state.SetIterationTime(w2 - w1);
            if (!ok) {
                state.SkipWithError("the export failed");
                break;
            }
        } else if (!ex->call()) {
            state.SkipWithError("the export failed");
            break;
        }
    }
    double n = (double)state.iterations();
    state.counters["registry_ops"] = (double)RegistryCalls() / n;
    if (paired) {
        state.counters["bare_wall_ms"] = bareWall * 1e3 / n;
        state.counters["bare_cpu_ms"] = bareCpu * 1e3 / n;
        state.counters["cpu_ms"] = cpu * 1e3 / n;
    }
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    if (host::OpenHandleCount() != 0 || host::OpenKeyCount() != 0)
        state.SkipWithError("handles or keys left open");
    if (host::TimerPeriodCalls().raised != 0)
        state.SkipWithError("a raised timer period was left");
}

// What a row is held to.
enum TargetKind { TARGET_BARE_LOOP, TARGET_NO_EXCHANGE, TARGET_FALLBACK_FLOOR, TARGET_NONE };

struct Row {
    std::string registry, exportName, wait;
    double floorMs = 0;
    TargetKind target = TARGET_NONE;
    bool paired = false;
    std::vector<double> wallMs, cpuMs, bareWallMs, bareCpuMs;
    double registryOps = 0;
    int64_t iterations = 0;
    std::string error;
};

std::map<std::string, Row> g_rows;
std::vector<std::string> g_order;

// Collects each repetition's figures and shows progress on stderr.
class CollectingReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context &) override { return true; }
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration)
                continue;
            Row &row = g_rows[run.run_name.function_name];
            if (run.error_occurred) {
                row.error = run.error_message;
                continue;
            }
            // Adjusted times are in the run's unit; the multiplier converts seconds to it.
            double toMs = 1e3 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            row.wallMs.push_back(run.GetAdjustedRealTime() * toMs);
            auto counter = [&run](const char *name) {
                auto found = run.counters.find(name);
                return found == run.counters.end() ? -1.0 : found->second.value;
            };
            if (row.paired) {
                row.cpuMs.push_back(counter("cpu_ms"));
                row.bareWallMs.push_back(counter("bare_wall_ms"));
                row.bareCpuMs.push_back(counter("bare_cpu_ms"));
            } else {
                row.cpuMs.push_back(run.GetAdjustedCPUTime() * toMs);
            }
            row.registryOps = counter("registry_ops");
            row.iterations += run.iterations;
            fprintf(stderr, "  %-48s %10.4f ms\n", run.run_name.function_name.c_str(),
                    row.wallMs.back());
        }
    }
};

// Worst cases: what the controller does, and the blocking it causes, from the constants.
struct WorstCase {
    const char *name;
    void (*configure)(SimConfig &config);
    double computedMs;
};

const int kBlockReads = 1 + TEMPERATURE_RETRY_LIMIT;
const double kAnswerWaitsMs = CONTROLLER_ANSWER_LENGTH * ANSWER_BYTE_WAIT_MS;

const WorstCase kWorstCases[] = {
    {"answers at once", [](SimConfig &) {}, kAnswerWaitsMs},
    {"always busy",
     [](SimConfig &c) {
         c.busyPatternLength = 0;
         c.busyAfterPattern = 1;
     },
     (double)kBlockReads * BLOCK_READ_ATTEMPTS * BUSY_WAIT_MS +
         TEMPERATURE_RETRY_LIMIT * BLOCK_RETRY_WAIT_MS},
    {"busy after each answer",
     [](SimConfig &c) {
         c.busyPattern = 0xAAAAAAAAAAAAAAAAull;
         c.busyPatternLength = 64;
         c.busyAfterPattern = 0;
     },
     (double)kBlockReads * BLOCK_READ_ATTEMPTS * (kAnswerWaitsMs + BUSY_WAIT_MS) +
         TEMPERATURE_RETRY_LIMIT * BLOCK_RETRY_WAIT_MS},
    {"never echoes", [](SimConfig &c) { c.wrongEchoForever = 1; },
     (double)kBlockReads * BLOCK_READ_ATTEMPTS * kAnswerWaitsMs +
         TEMPERATURE_RETRY_LIMIT * BLOCK_RETRY_WAIT_MS},
};

// Measures one export's blocking on the virtual clock in a worst case; -1 if it cannot.
double MeasureWorstCase(const WorstCase &worst, const ExportCase &ex)
{
    host::ResetMachine();
    SimConfig config;
    SimDefaultConfig(&config);
    worst.configure(config);
    host::LoadScenario(config);
    if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr))
        return -1;
    double ms = -1;
    if (LMGetNumSensors() == 3) {
        uint64_t start = host::NowMs();
        ex.call();
        ms = (double)(host::NowMs() - start);
    }
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    std::string jsonPath = "results.json";
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "--json=", 7) == 0)
            jsonPath = argv[i] + 7;
        else
            args.push_back(argv[i]);
    }
    size_t slash = jsonPath.rfind('/');
    g_registryFile = (slash == std::string::npos ? std::string() : jsonPath.substr(0, slash + 1)) +
                     "bench-registry.db";
    int benchArgc = (int)args.size();
    benchmark::Initialize(&benchArgc, args.data());

    // The stand-in sets the same slack on the thread at its first real wait; set here, it
    // holds for the bare loop from the start as well.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    for (const RegistryVariant &registry : Registries()) {
        for (const WaitSetup &wait : kWaitSetups) {
            for (const ExportCase &ex : kExports) {
                if (wait.exchangeOnly && ex.floorMs == 0)
                    continue;
                std::string name = std::string(ex.name) + "/" + registry.name + "/" + wait.name;
                Row &row = g_rows[name];
                row.registry = registry.name;
                row.exportName = ex.name;
                row.wait = wait.name;
                row.floorMs = ex.floorMs;
                bool timer = wait.support == host::TimerSupport::HighResolution;
                row.paired = timer && ex.floorMs > 0;
                row.target = row.paired                   ? TARGET_BARE_LOOP
                             : timer                      ? TARGET_NO_EXCHANGE
                             : wait.winmm ? TARGET_FALLBACK_FLOOR
                                          : TARGET_NONE;
                g_order.push_back(name);
                auto *bench = benchmark::RegisterBenchmark(name.c_str(), RunExport, &registry,
                                                           &ex, &wait, row.paired);
                if (row.paired)
                    bench->UseManualTime();
                else
                    bench->UseRealTime();
                bench->Unit(benchmark::kMicrosecond)->Repetitions(kRepetitions);
                bench->MinTime(ex.floorMs > 0 ? 0.5 : 0.1);
            }
        }
    }
    fprintf(stderr, "Running %zu benchmarks, %d repetitions each (wall time per call):\n",
            g_order.size(), kRepetitions);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    host::ResetMachine();
    RemoveRegistryFile();

    // Other processes' load shows in the wake-up latency after each pause.
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    nlohmann::json out;
    out["load_average"] = {load[0], load[1], load[2]};
    out["clock"] = "real";
    out["notebook"] = "default, controller answers at once";
    out["scheduler_tick_us"] = kStockTickUs;
    out["repetitions"] = kRepetitions;
    out["statistic"] = "median of repetitions; min and max alongside";
    out["targets"] = {{"max_bare_loop_ratio", kMaxHostBaselineRatio},
                      {"max_bare_loop_cpu_ratio", kMaxHostBaselineCpuRatio},
                      {"max_fallback_floor_ratio", kMaxFallbackFloorRatio},
                      {"max_no_exchange_ms", kMaxNoExchangeMs}};
    nlohmann::json rows = nlohmann::json::array();
    bool allMet = true;
    bool allRan = true;

    printf("\nHost: every export, real clock, controller answering at once, a %.3f ms "
           "scheduler tick (median of %d repetitions, load average %.2f)\n",
           kStockTickUs / 1000.0, kRepetitions, load[0]);
    printf("%-19s %-6s %-17s %9s %9s %7s %5s %7s %8s %8s %6s %6s %7s  %s\n", "export",
           "store", "waits", "wall ms", "bare ms", "x bare", "floor", "x floor", "cpu ms",
           "bare cpu", "x cpu", "reg", "calls", "target");
    for (const std::string &name : g_order) {
        const Row &row = g_rows[name];
        if (row.wallMs.empty() && row.error.empty())
            continue; // left out by --benchmark_filter
        double wall = Median(row.wallMs);
        double cpu = Median(row.cpuMs);
        double bareWall = Median(row.bareWallMs);
        double bareCpu = Median(row.bareCpuMs);
        double ratio = row.floorMs > 0 ? wall / row.floorMs : 0;
        double bareRatio = bareWall > 0 ? wall / bareWall : 0;
        double cpuRatio = bareCpu > 0 ? cpu / bareCpu : 0;
        bool ran = row.error.empty() && !row.wallMs.empty();
        allRan = allRan && ran;
        bool met = ran;
        std::string verdict;
        switch (row.target) {
        case TARGET_BARE_LOOP:
            met = met && bareRatio <= kMaxHostBaselineRatio && cpuRatio <= kMaxHostBaselineCpuRatio;
            break;
        case TARGET_NO_EXCHANGE:
            met = met && wall <= kMaxNoExchangeMs;
            break;
        case TARGET_FALLBACK_FLOOR:
            met = met && ratio <= kMaxFallbackFloorRatio;
            break;
        case TARGET_NONE:
            break;
        }
        if (row.target != TARGET_NONE) {
            verdict = met ? "met" : "MISSED";
            allMet = allMet && met;
        } else {
            verdict = "(without the 1 ms period)";
        }
        if (!row.error.empty())
            verdict = "ERROR: " + row.error;
        auto text = [](bool shown, const char *format, double value) {
            char buffer[32] = "-";
            if (shown)
                snprintf(buffer, sizeof buffer, format, value);
            return std::string(buffer);
        };
        printf("%-19s %-6s %-17s %9.4f %9s %7s %5.0f %7s %8.5f %8s %6s %6.1f %7lld  %s\n",
               row.exportName.c_str(), row.registry.c_str(), row.wait.c_str(), wall,
               text(row.paired, "%.4f", bareWall).c_str(),
               text(row.paired, "%.4f", bareRatio).c_str(), row.floorMs,
               text(row.floorMs > 0, "%.4f", ratio).c_str(), cpu,
               text(row.paired, "%.5f", bareCpu).c_str(),
               text(row.paired, "%.3f", cpuRatio).c_str(), row.registryOps,
               (long long)row.iterations, verdict.c_str());
        nlohmann::json r;
        r["export"] = row.exportName;
        r["registry"] = row.registry;
        r["waits"] = row.wait;
        r["wall_ms"] = wall;
        r["wall_ms_min"] = Smallest(row.wallMs);
        r["wall_ms_max"] = Largest(row.wallMs);
        r["floor_ms"] = row.floorMs;
        r["floor_ratio"] = row.floorMs > 0 ? nlohmann::json(ratio) : nlohmann::json(nullptr);
        r["cpu_ms"] = cpu;
        r["cpu_share"] = wall > 0 ? cpu / wall : 0;
        if (row.paired) {
            r["bare_wall_ms"] = bareWall;
            r["bare_wall_ms_min"] = Smallest(row.bareWallMs);
            r["bare_wall_ms_max"] = Largest(row.bareWallMs);
            r["bare_cpu_ms"] = bareCpu;
            r["bare_ratio"] = bareRatio;
            r["bare_cpu_ratio"] = cpuRatio;
        }
        r["registry_ops_per_call"] = row.registryOps;
        r["calls"] = row.iterations;
        const char *targets[] = {"wall <= 1.01 x bare loop, cpu <= 1.2 x bare loop's",
                                 "wall <= 0.1 ms", "wall <= 1.3 x floor", ""};
        r["target"] = row.target == TARGET_NONE ? nlohmann::json(nullptr)
                                                : nlohmann::json(targets[row.target]);
        r["met"] = row.target != TARGET_NONE ? nlohmann::json(met) : nlohmann::json(nullptr);
        if (!row.error.empty())
            r["error"] = row.error;
        rows.push_back(r);
    }
    out["host"] = rows;
    printf("Targets: with the timer, a read <= %.2f x the bare loop's wall time and <= %.1f x "
           "its CPU time, other exports <= %.1f ms; with Sleep and the 1 ms period, a read <= "
           "%.1f x the floor: %s\n",
           kMaxHostBaselineRatio, kMaxHostBaselineCpuRatio, kMaxNoExchangeMs,
           kMaxFallbackFloorRatio, allMet ? "all met" : "some MISSED");

    printf("\nWorst case: how long each export can block (virtual clock), ms\n");
    printf("%-24s", "controller");
    for (const ExportCase &ex : kExports)
        printf(" %20s", ex.name);
    printf("  %s\n", "computed");
    nlohmann::json worst = nlohmann::json::array();
    bool worstAgrees = true;
    for (const WorstCase &w : kWorstCases) {
        printf("%-24s", w.name);
        nlohmann::json r;
        r["controller"] = w.name;
        r["computed_ms"] = w.computedMs;
        for (const ExportCase &ex : kExports) {
            double ms = MeasureWorstCase(w, ex);
            double expected = ex.floorMs > 0 ? w.computedMs : 0;
            worstAgrees = worstAgrees && ms == expected;
            printf(" %20.0f", ms);
            r["measured_ms"][ex.name] = ms;
        }
        printf("  %.0f\n", w.computedMs);
        worst.push_back(r);
    }
    printf("Measured %s the computed figures.\n", worstAgrees ? "equals" : "DIFFERS FROM");
    out["worst_case"] = worst;
    out["all_targets_met"] = allMet;
    out["worst_case_agrees"] = worstAgrees;
    out["measured"] = allRan;

    std::ofstream file(jsonPath);
    file << out.dump(2) << "\n";
    if (!file) {
        fprintf(stderr, "cannot write %s\n", jsonPath.c_str());
        return 1;
    }
    printf("\nWritten to %s\n", jsonPath.c_str());
    return allRan ? 0 : 1;
}
