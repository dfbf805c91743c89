// Readings through the seven exports.
#include "readings.h"

#include <limits.h>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace ktsensors {

namespace {

// An out-value no export writes on its own (a tampered limit could be stored as it, which costs
// one more LMGetNumSensors at most).
const int kUntouched = INT_MIN;

// Calls an export with an out-parameter; the value counts only when the call succeeded.
// `*untouched` tells a failed call that left the out-value alone: the library refused the
// ordinal (it is not below its count, or it has none).
Call Ask(int(KOVALTHERM_CDECL *query)(int, int *), int ordinal, bool *untouched)
{
    Call call;
    int value = kUntouched;
    call.ok = query(ordinal, &value) == 1;
    *untouched = !call.ok && value == kUntouched;
    call.value = call.ok ? value : 0;
    return call;
}

// A call that takes this long has waited for something (the controller, the library's lock):
// the driver may have gone meanwhile. An answer takes 16 ms.
const uint64_t kSlowCallMs = 1000;

// Wall-clock milliseconds of this process's last successful reading; 0 = none yet.
std::atomic<int64_t> g_lastSuccessWallMs{0};

int64_t WallClockMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

const SensorCall kSensorCalls[kSensorCallCount] = {
    {&SensorReading::location, "LMGetSensorLocation", &Exports::GetSensorLocation},
    {&SensorReading::temperature, "LMReadTemperature", &Exports::ReadTemperature},
    {&SensorReading::warningLimit, "LMReadWarningLimit", &Exports::ReadWarningLimit},
    {&SensorReading::criticalLimit, "LMReadCriticalLimit", &Exports::ReadCriticalLimit},
    {&SensorReading::status, "LMReadTempStatus", &Exports::ReadTempStatus},
};

std::string StatusName(int status)
{
    switch (status) {
    case KOVALTHERM_STATUS_NONE: return "no status";
    case KOVALTHERM_STATUS_NORMAL: return "normal";
    case KOVALTHERM_STATUS_WARNING: return "warning";
    case KOVALTHERM_STATUS_CRITICAL: return "critical";
    default: return "status " + std::to_string(status);
    }
}

Reading TakeReading(const Exports &library, MachineClock &clock, uint64_t number, const volatile sig_atomic_t *stop,
                    const std::function<bool()> &gone)
{
    Reading reading;
    reading.number = number;
    reading.timeMs = clock.NowMs();
    reading.wallMs = WallClockMs();
    bool lost = gone && gone();
    // After a call that failed, or took long enough for the driver to have gone meanwhile.
    auto check = [&](bool ok, uint64_t startMs) {
        if ((!ok || clock.NowMs() - startMs >= kSlowCallMs) && gone)
            lost = gone();
    };
    auto stopped = [stop, &lost] { return lost || (stop && *stop); };
    uint64_t startMs = clock.NowMs();
    reading.sensorCount = stopped() ? 0 : library.GetNumSensors();
    check(reading.sensorCount > 0, startMs);
    int sensors = std::min(reading.sensorCount, kMaxSensors);
    for (int ordinal = 0; ordinal < sensors && !stopped() && reading.countAfterChange < 0; ++ordinal) {
        SensorReading s;
        s.ordinal = ordinal;
        s.timeMs = clock.NowMs();
        bool whole = true;
        for (const SensorCall &call : kSensorCalls) {
            whole = !stopped();
            if (!whole)
                break;
            startMs = clock.NowMs();
            bool refused = false;
            s.*call.member = Ask(library.*call.query, ordinal, &refused);
            check((s.*call.member).ok, startMs);
            int count = refused ? library.GetNumSensors() : reading.sensorCount;
            if (count != reading.sensorCount) {
                reading.countAfterChange = count;
                whole = false;
                break;
            }
        }
        if (!whole)
            break;
        reading.sensors.push_back(s);
    }
    if (lost) {
        reading.loaded = false;
        reading.sensorCount = 0;
        reading.sensors.clear();
    }
    if (ReadingSucceeded(reading))
        g_lastSuccessWallMs = reading.wallMs;
    reading.lastSuccessWallMs = g_lastSuccessWallMs;
    return reading;
}

Reading UnloadedReading(MachineClock &clock, uint64_t number)
{
    Reading reading;
    reading.number = number;
    reading.timeMs = clock.NowMs();
    reading.wallMs = WallClockMs();
    reading.loaded = false;
    reading.lastSuccessWallMs = g_lastSuccessWallMs;
    return reading;
}

bool CountFailed(const Reading &reading)
{
    return reading.sensorCount <= 0 || reading.sensorCount > kMaxSensors || reading.countAfterChange >= 0;
}

std::string CountProblem(const Reading &reading)
{
    if (reading.sensorCount <= 0)
        return "no sensors: no thermal support, or the sensor cache could not be read";
    if (reading.countAfterChange >= 0)
        return "the sensor count changed from " + std::to_string(reading.sensorCount) + " to " +
               std::to_string(reading.countAfterChange) + " during the reading: the library rebuilt its sensor cache";
    if (reading.sensorCount > kMaxSensors)
        return "the library gave " + std::to_string(reading.sensorCount) + " sensors, more than the " +
               std::to_string(kMaxSensors) + " it can read: its sensor cache is damaged";
    return "";
}

bool ReadingSucceeded(const Reading &reading)
{
    if (!reading.loaded || CountFailed(reading) || reading.sensors.size() != (size_t)reading.sensorCount)
        return false;
    for (const SensorReading &s : reading.sensors)
        if (!s.temperature.ok)
            return false;
    return true;
}

std::vector<std::string> FailedCalls(const Reading &reading)
{
    std::vector<std::string> failed;
    if (CountFailed(reading))
        failed.push_back("LMGetNumSensors");
    for (const SensorReading &s : reading.sensors)
        for (const SensorCall &call : kSensorCalls)
            if (!(s.*call.member).ok)
                failed.push_back(std::string(call.exportName) + "(" + std::to_string(s.ordinal) + ")");
    return failed;
}

} // namespace ktsensors
