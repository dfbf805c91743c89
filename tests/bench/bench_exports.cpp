// Benchmark of every export on the host: the real clock, the simulated notebook with a
// controller that answers at once, each registry store. Per export it reports wall time per
// call, the floor set by the exchange's mandated waits, their ratio, CPU time per call and
// registry operations per call; then how long each export can block in the worst case,
// worked out from the exchange's timing and measured on the virtual clock. Prints tables and
// writes them as JSON.
#include <benchmark/benchmark.h>
#include <stdio.h>
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
#include "kovaltherm.h"
#include "platform/host/host.h"
#include "platform/host/sqlite_registry.h"
#include "targets.h"

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

// How the machine waits: the high-resolution timer (the targets), or, to show what it saves,
// Sleep on a stock Windows scheduler tick of 15.625 ms.
struct WaitSetup {
    const char *name;
    host::TimerSupport support;
    uint32_t tickUs;
    bool exchangeOnly; // measured only for exports with a controller exchange
};

const WaitSetup kWaitSetups[] = {
    {"timer", host::TimerSupport::HighResolution, 0, false},
    {"sleep-15.6ms-tick", host::TimerSupport::Basic, 15625, true},
};

const int kRepetitions = 7;


// Puts the stand-in machine in the benchmark's state and loads the library.
bool PrepareMachine(const RegistryVariant &registry, const WaitSetup &wait)
{
    host::ResetMachine(); // also closes the previous run's registry file
    std::unique_ptr<host::RegistryStore> store = registry.make();
    if (!store)
        return false;
    host::UseRegistry(std::move(store));
    host::SetTimerSupport(wait.support);
    host::SetSleepTick(wait.tickUs);
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

void RunExport(benchmark::State &state, const RegistryVariant *registry, const ExportCase *ex,
               const WaitSetup *wait)
{
    if (!PrepareMachine(*registry, *wait)) {
        state.SkipWithError("the registry could not be opened or the library did not load");
        return;
    }
    host::ResetCallCounts();
    for (auto _ : state) {
        if (!ex->call()) {
            state.SkipWithError("the export failed");
            break;
        }
    }
    state.counters["registry_ops"] = (double)RegistryCalls() / (double)state.iterations();
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    if (host::OpenHandleCount() != 0 || host::OpenKeyCount() != 0)
        state.SkipWithError("handles or keys left open");
}

struct Row {
    std::string registry, exportName, wait;
    double floorMs = 0;
    bool target = false;
    std::vector<double> wallMs, cpuMs;
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
            row.cpuMs.push_back(run.GetAdjustedCPUTime() * toMs);
            auto ops = run.counters.find("registry_ops");
            if (ops != run.counters.end())
                row.registryOps = ops->second.value;
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
                row.target = !wait.exchangeOnly;
                g_order.push_back(name);
                auto *bench = benchmark::RegisterBenchmark(name.c_str(), RunExport, &registry,
                                                           &ex, &wait);
                bench->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(kRepetitions);
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
    out["repetitions"] = kRepetitions;
    out["statistic"] = "median of repetitions; min and max alongside";
    out["targets"] = {{"max_floor_ratio", kMaxFloorRatio},
                      {"max_cpu_share", kMaxCpuShare},
                      {"max_no_exchange_ms", kMaxNoExchangeMs}};
    nlohmann::json rows = nlohmann::json::array();
    bool allMet = true;

    printf("\nHost: every export, real clock, controller answering at once "
           "(median of %d repetitions, load average %.2f)\n",
           kRepetitions, load[0]);
    printf("%-20s %-8s %-18s %11s %9s %8s %11s %6s %8s %8s  %s\n", "export", "registry",
           "waits", "wall ms", "floor ms", "ratio", "cpu ms", "cpu %", "reg ops", "calls",
           "target");
    for (const std::string &name : g_order) {
        const Row &row = g_rows[name];
        if (row.wallMs.empty() && row.error.empty())
            continue; // left out by --benchmark_filter
        double wall = Median(row.wallMs);
        double cpu = Median(row.cpuMs);
        double ratio = row.floorMs > 0 ? wall / row.floorMs : 0;
        double cpuShare = wall > 0 ? cpu / wall : 0;
        std::string verdict;
        bool met = row.error.empty() && !row.wallMs.empty();
        if (row.target) {
            if (row.floorMs > 0)
                met = met && ratio <= kMaxFloorRatio && cpuShare <= kMaxCpuShare;
            else
                met = met && wall <= kMaxNoExchangeMs;
            verdict = met ? "met" : "MISSED";
            allMet = allMet && met;
        } else {
            verdict = "(shows Sleep's cost)";
        }
        if (!row.error.empty())
            verdict = "ERROR: " + row.error;
        char ratioText[32] = "-";
        if (row.floorMs > 0)
            snprintf(ratioText, sizeof ratioText, "%.4f", ratio);
        printf("%-20s %-8s %-18s %11.4f %9.1f %8s %11.5f %6.2f %8.1f %8lld  %s\n",
               row.exportName.c_str(), row.registry.c_str(), row.wait.c_str(), wall,
               row.floorMs, ratioText, cpu, cpuShare * 100, row.registryOps,
               (long long)row.iterations, verdict.c_str());
        nlohmann::json r;
        r["export"] = row.exportName;
        r["registry"] = row.registry;
        r["waits"] = row.wait;
        r["wall_ms"] = wall;
        r["wall_ms_min"] = row.wallMs.empty() ? 0 : *std::min_element(row.wallMs.begin(), row.wallMs.end());
        r["wall_ms_max"] = row.wallMs.empty() ? 0 : *std::max_element(row.wallMs.begin(), row.wallMs.end());
        r["floor_ms"] = row.floorMs;
        if (row.floorMs > 0)
            r["ratio"] = ratio;
        else
            r["ratio"] = nullptr;
        r["cpu_ms"] = cpu;
        r["cpu_share"] = cpuShare;
        r["registry_ops_per_call"] = row.registryOps;
        r["calls"] = row.iterations;
        r["target"] = row.target;
        r["met"] = row.target ? nlohmann::json(met) : nlohmann::json(nullptr);
        if (!row.error.empty())
            r["error"] = row.error;
        rows.push_back(r);
    }
    out["host"] = rows;
    printf("Targets (timer rows): wall <= %.2f x floor and cpu <= %.0f %% of wall for exports "
           "with an exchange; wall <= %.1f ms without one: %s\n",
           kMaxFloorRatio, kMaxCpuShare * 100, kMaxNoExchangeMs, allMet ? "all met" : "MISSED");

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

    std::ofstream file(jsonPath);
    file << out.dump(2) << "\n";
    printf("\nWritten to %s\n", jsonPath.c_str());
    return allMet && worstAgrees ? 0 : 1;
}
