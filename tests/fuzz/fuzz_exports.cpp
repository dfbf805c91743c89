// Fuzzes the whole machine: OS family, firmware answers, controller behaviour, driver
// failures, registry contents and a fault schedule, then a sequence of export calls. Every
// call must answer in range within the time bound and leave nothing open; once the faults
// are lifted and the hardware behaves, one rebuild must make the library answer like a
// fresh one on the same machine (checked on a sample of inputs).
#include <unordered_map>

#include "fuzz_common.h"

using namespace fuzz;

namespace {

// Reads the notebook from the input, starting from the default machine.
void ReadNotebook(FuzzedDataProvider &in, SimConfig *c)
{
    SimDefaultConfig(c);
    if (in.ConsumeBool())
        c->presence = in.ConsumeIntegral<uint8_t>();
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0)
        c->infoStatus = in.ConsumeIntegral<uint8_t>();
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0)
        c->infoCl = in.ConsumeIntegral<uint8_t>();
    for (int i = 0; i < 8; ++i) {
        if (!in.ConsumeBool())
            continue;
        SimSensorLimits &l = c->limits[i];
        l.status = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint8_t>();
        l.cx = in.ConsumeIntegral<uint16_t>();
        l.esi = in.ConsumeIntegral<uint32_t>();
        l.edi = in.ConsumeIntegral<uint32_t>();
    }
    for (int i = 0; i < 7; ++i)
        if (in.ConsumeBool())
            SimSetTemperature(c, i, in.ConsumeIntegral<uint8_t>());
    if (in.ConsumeBool()) {
        c->busyPattern = in.ConsumeIntegral<uint64_t>();
        c->busyPatternLength = in.ConsumeIntegralInRange<uint32_t>(0, 64);
        c->busyAfterPattern = in.ConsumeBool();
    }
    if (in.ConsumeBool()) {
        c->wrongEchoReads = in.ConsumeIntegralInRange<uint32_t>(0, 45);
        c->wrongEchoForever = in.ConsumeIntegralInRange<int>(0, 3) == 0;
        c->wrongEchoByte = in.ConsumeIntegral<uint8_t>();
    }
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
        c->configBytes[0x7E] = in.ConsumeIntegral<uint8_t>();
        c->configBytes[0x7F] = in.ConsumeIntegral<uint8_t>();
    }
    c->probeSucceeds = in.ConsumeIntegralInRange<int>(0, 3) != 0;
    for (int r = 0; r < SIM_REQ_COUNT; ++r)
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0)
            c->failCount[r] = in.ConsumeBool() ? SIM_FAIL_ALWAYS : in.ConsumeIntegralInRange<uint32_t>(0, 5);
}

// The same notebook with well-behaved hardware: steady temperatures, a controller that
// answers at once, no failing requests, the firmware port where the firmware listens.
SimConfig WellBehaved(const SimConfig &fuzzed)
{
    SimConfig c = fuzzed;
    for (int i = 0; i < 7; ++i)
        SimSetTemperature(&c, i, SimTraceAt(&fuzzed.temperatures[i], 0));
    c.busyPattern = 0;
    c.busyPatternLength = 0;
    c.busyAfterPattern = 0;
    c.wrongEchoReads = 0;
    c.wrongEchoForever = 0;
    for (uint32_t &count : c.failCount)
        count = 0;
    c.configBytes[0x7E] = (uint8_t)c.firmwarePort;
    c.configBytes[0x7F] = (uint8_t)(c.firmwarePort >> 8);
    c.probeSucceeds = 1;
    return c;
}

// After a forced rebuild on a well-behaved machine, asks every query in a fixed order and
// returns the answers. Limit-dependent answers of sensors without firmware limits are left
// out: the rebuild keeps whatever limits such a sensor had (`staleLimits`, by ordinal).
std::vector<Answer> HealedAnswers(const std::vector<bool> &staleLimits)
{
    RefreshSensorCache(REFRESH_FORCE);
    std::vector<Answer> answers;
    int count = (int)staleLimits.size();
    for (int o = -1; o <= count; ++o) {
        bool stale = o >= 0 && o < count && staleLimits[o];
        answers.push_back(CheckedCall(GET_SENSOR_LOCATION, o));
        answers.push_back(CheckedCall(READ_TEMPERATURE, o));
        Answer status = CheckedCall(READ_TEMP_STATUS, o);
        if (!stale)
            answers.push_back(status);
    }
    answers.push_back(CheckedCall(GET_NUM_SENSORS, 0));
    for (int o = -1; o <= count; ++o) {
        if (o >= 0 && o < count && staleLimits[o])
            continue;
        answers.push_back(CheckedCall(READ_WARNING_LIMIT, o));
        answers.push_back(CheckedCall(READ_CRITICAL_LIMIT, o));
    }
    return answers;
}

// What a fresh library answers on the well-behaved notebook `good`. The answers depend on
// the notebook alone, and most inputs the fuzzer makes share their notebook with an earlier
// one, so they are kept by notebook (its bytes, which start zeroed: no stray padding), up to
// a bound.
const std::vector<Answer> &FreshAnswers(const SimConfig &good, const std::vector<bool> &staleLimits)
{
    static std::unordered_map<std::string, std::vector<Answer>> known;
    const size_t kMaxKnown = 4096;
    std::string notebook((const char *)&good, sizeof good);
    auto found = known.find(notebook);
    if (found != known.end())
        return found->second;
    if (known.size() >= kMaxKnown)
        known.clear();
    host::ResetMachine();
    host::LoadScenario(good);
    Check(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), "fresh load failed");
    std::vector<Answer> fresh = HealedAnswers(staleLimits);
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    return known[notebook] = fresh;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    host::ResetMachine();
    static const host::OsFamily families[] = {host::OsFamily::Nt, host::OsFamily::Nt,
                                              host::OsFamily::Win9x, host::OsFamily::Other};
    host::OsFamily family = families[in.ConsumeIntegralInRange<int>(0, 3)];
    host::SetOsFamily(family);
    SimConfig config;
    ReadNotebook(in, &config);
    host::LoadScenario(config);
    if (in.ConsumeBool()) {
        // Start from a cache built by an earlier process.
        if (DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr))
            LMGetNumSensors();
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    }
    EditRegistry(in, 12);
    ArmFault(in);

    BOOL loaded = DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    Check(host::OpenKeyCount() == 0, "attach left a key open");
    if (!loaded) {
        Check(host::OpenHandleCount() == 0, "failed attach left the driver open");
        host::ClearFault();
        return 0;
    }
    int calls = in.ConsumeIntegralInRange<int>(1, 24);
    for (int i = 0; i < calls && in.remaining_bytes() > 0; ++i) {
        ExportId id = (ExportId)in.ConsumeIntegralInRange<int>(0, EXPORT_COUNT - 1);
        CheckedCall(id, PickOrdinal(in));
    }
    host::ClearFault();
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    Check(host::OpenHandleCount() == 0, "detach left the driver open");
    Check(host::OpenKeyCount() == 0, "a key was left open");

    // Healing: on a sample of inputs, and only where the firmware describes its sensors
    // (else there is nothing to rebuild from).
    if (!HealThisInput(in, data, size))
        return 0;
    if (config.infoStatus != 0 || !(config.infoCl & 0x20))
        return 0;
    SimConfig good = WellBehaved(config);
    std::vector<bool> staleLimits;
    for (int i = 0; i < 8; ++i)
        if (good.presence & (1u << i))
            staleLimits.push_back(i == 7 || good.limits[i].status != 0);
    host::SetOsFamily(host::OsFamily::Nt);
    host::LoadScenario(good);
    Check(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), "reload failed");
    std::vector<Answer> healed = HealedAnswers(staleLimits);
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);

    const std::vector<Answer> &fresh = FreshAnswers(good, staleLimits);
    Check(healed.size() == fresh.size(), "heal: answer counts differ");
    for (size_t i = 0; i < healed.size(); ++i)
        if (!(healed[i] == fresh[i])) {
            fprintf(stderr, "heal: answer %zu is (%d, %d), a fresh library says (%d, %d)\n", i,
                    healed[i].result, healed[i].out, fresh[i].result, fresh[i].out);
            abort();
        }
    return 0;
}
