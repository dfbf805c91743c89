// Readings through the seven exports, printed as text or JSON (nlohmann-json).
#include "readings.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

namespace ktsensors {

namespace {

// Calls an export with an out-parameter; the value counts only when the call succeeded.
Call Ask(int(KOVALTHERM_CDECL *query)(int, int *), int ordinal)
{
    Call call;
    int value = 0;
    call.ok = query(ordinal, &value) == 1;
    call.value = call.ok ? value : 0;
    return call;
}

// A temperature in lm-sensors' manner ("+52.0 C"), or FAILED for a call that failed.
std::string Degrees(const Call &call)
{
    if (!call.ok)
        return "FAILED";
    char text[32];
    snprintf(text, sizeof text, "%+d.0 C", call.value);
    return text;
}

} // namespace

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

Reading TakeReading(const Exports &library, Backend &backend, uint64_t number)
{
    Reading reading;
    reading.number = number;
    reading.timeMs = backend.NowMs();
    reading.sensorCount = library.GetNumSensors();
    for (int ordinal = 0; ordinal < reading.sensorCount; ++ordinal) {
        SensorReading s;
        s.ordinal = ordinal;
        s.timeMs = backend.NowMs();
        s.location = Ask(library.GetSensorLocation, ordinal);
        s.temperature = Ask(library.ReadTemperature, ordinal);
        s.warningLimit = Ask(library.ReadWarningLimit, ordinal);
        s.criticalLimit = Ask(library.ReadCriticalLimit, ordinal);
        s.status = Ask(library.ReadTempStatus, ordinal);
        reading.sensors.push_back(s);
    }
    return reading;
}

std::vector<std::string> FailedCalls(const Reading &reading)
{
    std::vector<std::string> failed;
    if (reading.sensorCount <= 0)
        failed.push_back("LMGetNumSensors");
    for (const SensorReading &s : reading.sensors) {
        const std::pair<const Call *, const char *> calls[] = {
            {&s.location, "LMGetSensorLocation"}, {&s.temperature, "LMReadTemperature"},
            {&s.warningLimit, "LMReadWarningLimit"}, {&s.criticalLimit, "LMReadCriticalLimit"},
            {&s.status, "LMReadTempStatus"}};
        for (const auto &call : calls)
            if (!call.first->ok)
                failed.push_back(std::string(call.second) + "(" + std::to_string(s.ordinal) + ")");
    }
    return failed;
}

std::string FormatText(const Reading &reading)
{
    std::string text = "kovaltherm-qorix\nAdapter: Kovaltherm.dll\n";
    if (reading.sensorCount <= 0)
        return text + "no sensors (no thermal support, or the sensor cache could not be read)\n";
    for (const SensorReading &s : reading.sensors) {
        char label[48];
        if (s.location.ok)
            snprintf(label, sizeof label, "sensor %d (location %d):", s.ordinal, s.location.value);
        else
            snprintf(label, sizeof label, "sensor %d (location FAILED):", s.ordinal);
        std::string status = s.status.ok ? StatusName(s.status.value) : "status FAILED";
        std::string limits = "(warn = " + Degrees(s.warningLimit) + ", crit = " + Degrees(s.criticalLimit) + ")";
        char line[256];
        snprintf(line, sizeof line, "%-24s%9s  %-33s %s\n", label, Degrees(s.temperature).c_str(),
                 limits.c_str(), status.c_str());
        text += line;
    }
    return text;
}

std::string FormatJson(const Reading &reading)
{
    using json = nlohmann::ordered_json;
    json sensors = json::array();
    for (const SensorReading &s : reading.sensors) {
        json failed = json::array();
        auto value = [&](const Call &call, const char *field) -> json {
            if (call.ok)
                return call.value;
            failed.push_back(field);
            return nullptr;
        };
        json sensor = {
            {"ordinal", s.ordinal},
            {"time_ms", s.timeMs},
            {"location", value(s.location, "location")},
            {"temperature", value(s.temperature, "temperature")},
            {"warning_limit", value(s.warningLimit, "warning_limit")},
            {"critical_limit", value(s.criticalLimit, "critical_limit")},
            {"status", s.status.ok ? json(StatusName(s.status.value)) : json(nullptr)},
            {"status_code", value(s.status, "status")},
        };
        sensor["failed"] = failed;
        sensors.push_back(sensor);
    }
    json document = {
        {"reading", reading.number},
        {"time_ms", reading.timeMs},
        {"sensor_count", reading.sensorCount},
        {"sensors", sensors},
    };
    return document.dump() + "\n";
}

} // namespace ktsensors
