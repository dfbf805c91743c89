// Zabbix's forms of a reading, written with nlohmann-json.
#include "format_zabbix.h"

#include <utility>

#include <nlohmann/json.hpp>

namespace ktsensors {

namespace {

using json = nlohmann::ordered_json;

// Whether the reading lists the notebook's sensors: the library loaded and gave the count.
bool SensorsKnown(const Reading &reading)
{
    return reading.loaded && reading.sensorCount > 0;
}

} // namespace

std::string ZabbixLabel(const SensorReading &s)
{
    if (!s.label.empty())
        return s.label;
    return "location " + (s.location.ok ? std::to_string(s.location.value) : std::string("FAILED"));
}

std::string FormatZabbixDiscovery(const Reading &reading)
{
    if (!SensorsKnown(reading))
        return std::string();
    json sensors = json::array();
    for (const SensorReading &s : reading.sensors)
        sensors.push_back({{"{#SENSOR}", std::to_string(s.ordinal)},
                           {"{#LOCATION}", s.location.ok ? std::to_string(s.location.value) : std::string()},
                           {"{#LABEL}", ZabbixLabel(s)}});
    return sensors.dump() + "\n";
}

std::string FormatZabbix(const Reading &reading)
{
    json sensors = json::object();
    for (const SensorReading &s : reading.sensors) {
        const std::pair<const Call *, const char *> values[] = {
            {&s.location, "location"}, {&s.temperature, "temperature"}, {&s.warningLimit, "warning_limit"},
            {&s.criticalLimit, "critical_limit"}, {&s.status, "status"}};
        json sensor = json::object();
        int failed = 0;
        for (const auto &value : values) {
            if (value.first->ok)
                sensor[value.second] = value.first->value;
            else
                ++failed;
        }
        sensor["failed"] = failed;
        if (s.HasOwnerLimits()) {
            if (s.ownerWarning != kNoThreshold)
                sensor["owner_warning"] = s.ownerWarning;
            if (s.ownerCritical != kNoThreshold)
                sensor["owner_critical"] = s.ownerCritical;
            sensor["owner_state"] = s.ownerState;
        }
        sensors[std::to_string(s.ordinal)] = sensor;
    }
    bool known = SensorsKnown(reading);
    json document = {{"up", known ? 1 : 0}, {"sensor_count", known ? reading.sensorCount : 0}, {"sensors", sensors}};
    return document.dump() + "\n";
}

} // namespace ktsensors
