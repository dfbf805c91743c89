// The formats' table and their renderers: text as lm-sensors' sensors prints it, JSON
// (nlohmann-json), sensors -j's schema, and Prometheus' text exposition format.
#include "formats.h"

#include "format_zabbix.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>

namespace ktsensors {

namespace {

const char *const kChip = "kovaltherm-qorix";
const char *const kAdapter = "Kovaltherm.dll";

// A temperature in lm-sensors' manner ("+52.0 C"), or FAILED for a call that failed.
std::string Degrees(const Call &call, bool degreeSign)
{
    if (!call.ok)
        return "FAILED";
    char text[32];
    snprintf(text, sizeof text, "%+d.0 %s", call.value, degreeSign ? "\xC2\xB0" "C" : "C");
    return text;
}

// Characters of `text` as printed: a UTF-8 sequence counts once.
size_t Columns(const std::string &text)
{
    size_t columns = 0;
    for (unsigned char c : text)
        columns += (c & 0xC0) != 0x80;
    return columns;
}

// `text` padded with spaces to `width` columns, on the left or the right.
std::string Pad(const std::string &text, size_t width, bool left)
{
    size_t columns = Columns(text);
    std::string fill(columns < width ? width - columns : 0, ' ');
    return left ? fill + text : text + fill;
}

// The sensor's label in the text and sensors-json forms.
std::string Label(const SensorReading &s)
{
    return "sensor " + std::to_string(s.ordinal) + " (location " +
           (s.location.ok ? std::to_string(s.location.value) : std::string("FAILED")) + ")";
}

// Seconds since 1970 with milliseconds, for Prometheus: "1700000000.250".
std::string Seconds(int64_t wallMs)
{
    char text[48];
    snprintf(text, sizeof text, "%lld.%03d", (long long)(wallMs / 1000), (int)(wallMs % 1000));
    return text;
}

// The text format: a blank line between readings written one after another.
std::string RenderText(const Reading &reading, const RenderOptions &options)
{
    return (options.first ? "" : "\n") + FormatText(reading, options.degreeSign);
}

// The JSON format, a document on one line whatever the stream.
std::string RenderJson(const Reading &reading, const RenderOptions &) { return FormatJson(reading); }

// The sensors -j format, on one line where documents follow one another.
std::string RenderSensorsJson(const Reading &reading, const RenderOptions &options)
{
    return FormatSensorsJson(reading, options.oneLine);
}

// The Prometheus format, whole documents only.
std::string RenderPrometheus(const Reading &reading, const RenderOptions &) { return FormatPrometheus(reading); }

// Zabbix's discovery of the sensors (nothing at all when there are none to tell of), and its
// document for a master item: one line each.
std::string RenderZabbixDiscovery(const Reading &reading, const RenderOptions &) { return FormatZabbixDiscovery(reading); }
std::string RenderZabbix(const Reading &reading, const RenderOptions &) { return FormatZabbix(reading); }

} // namespace

const Format kFormats[] = {
    {"text", "the default, like sensors", "text/plain; charset=utf-8", "", false, RenderText},
    {"json", "one document per line", "application/json", "/json", false, RenderJson},
    {"sensors-json", "the schema of sensors -j", "application/json", "", false, RenderSensorsJson},
    {"prometheus", "text exposition format", "text/plain; version=0.0.4; charset=utf-8", "/metrics", true,
     RenderPrometheus},
    {"zabbix", "one document a reading, for a Zabbix master item", "application/json", "", true, RenderZabbix},
    {"zabbix-discovery", "Zabbix low-level discovery of the sensors", "application/json", "", false,
     RenderZabbixDiscovery},
};
const size_t kFormatCount = sizeof kFormats / sizeof *kFormats;

const Format *FindFormat(const std::string &name)
{
    for (const Format &format : kFormats)
        if (name == format.name)
            return &format;
    return nullptr;
}

const Format *FormatAtPath(const std::string &path)
{
    for (const Format &format : kFormats)
        if (*format.path && path == format.path)
            return &format;
    return nullptr;
}

std::string FormatText(const Reading &reading, bool degreeSign)
{
    std::string text = std::string(kChip) + "\nAdapter: " + kAdapter + "\n";
    if (reading.sensorCount <= 0)
        return text + "no sensors (no thermal support, or the sensor cache could not be read)\n";
    for (const SensorReading &s : reading.sensors) {
        std::string status = s.status.ok ? StatusName(s.status.value) : "status FAILED";
        std::string limits = "(warn = " + Degrees(s.warningLimit, degreeSign) +
                             ", crit = " + Degrees(s.criticalLimit, degreeSign) + ")";
        // Columns as with "C", one wider per degree sign.
        size_t extra = degreeSign ? 1 : 0;
        text += Pad(Label(s) + ":", 24, false) + Pad(Degrees(s.temperature, degreeSign), 9 + extra, true) + "  " +
                Pad(limits, 33 + 2 * extra, false) + " " + status + "\n";
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
        {"time", Rfc3339(reading.wallMs)},
        {"sensor_count", reading.sensorCount},
        {"sensors", sensors},
    };
    return document.dump() + "\n";
}

std::string FormatSensorsJson(const Reading &reading, bool oneLine)
{
    // Written by hand: numbers with three decimals and keys in order, as sensors -j prints.
    using json = nlohmann::json;
    std::string out = "{\n   " + json(kChip).dump() + ":{\n      \"Adapter\": " + json(kAdapter).dump();
    for (const SensorReading &s : reading.sensors) {
        std::string feature = "temp" + std::to_string(s.ordinal + 1);
        std::vector<std::pair<std::string, int>> values;
        if (s.temperature.ok)
            values.push_back({feature + "_input", s.temperature.value});
        if (s.warningLimit.ok)
            values.push_back({feature + "_max", s.warningLimit.value});
        if (s.criticalLimit.ok)
            values.push_back({feature + "_crit", s.criticalLimit.value});
        // The alarms carry the status; with no status (or a failed call) they are left out.
        if (s.status.ok && s.status.value >= KOVALTHERM_STATUS_NORMAL && s.status.value <= KOVALTHERM_STATUS_CRITICAL) {
            values.push_back({feature + "_max_alarm", s.status.value >= KOVALTHERM_STATUS_WARNING});
            values.push_back({feature + "_crit_alarm", s.status.value == KOVALTHERM_STATUS_CRITICAL});
        }
        out += ",\n      " + json(Label(s)).dump() + ":{";
        for (size_t i = 0; i < values.size(); ++i) {
            char number[32];
            snprintf(number, sizeof number, "%d.000", values[i].second);
            out += std::string(i ? "," : "") + "\n         \"" + values[i].first + "\": " + number;
        }
        out += values.empty() ? "}" : "\n      }";
    }
    out += "\n   }\n}\n";
    if (oneLine) {
        // The layout's line breaks and indentation go; no string in it holds a line break.
        std::string line;
        for (size_t i = 0; i + 1 < out.size(); ++i)
            if (out[i] == '\n')
                i = out.find_first_not_of(' ', i + 1) - 1;
            else
                line += out[i];
        out = line + "\n";
    }
    return out;
}

std::string FormatPrometheus(const Reading &reading)
{
    struct Family {
        const char *name;
        const char *help;
        const Call SensorReading::*call;
    };
    const Family gauges[] = {
        {"kovaltherm_temperature_celsius", "Temperature of the sensor in degrees Celsius.", &SensorReading::temperature},
        {"kovaltherm_warning_limit_celsius", "Warning limit of the sensor in degrees Celsius.", &SensorReading::warningLimit},
        {"kovaltherm_critical_limit_celsius", "Critical limit of the sensor in degrees Celsius.", &SensorReading::criticalLimit},
        {"kovaltherm_status", "Status of the sensor: 0 no status, 1 normal, 2 warning, 3 critical.", &SensorReading::status},
    };
    auto labels = [](const SensorReading &s) {
        return "sensor=\"" + std::to_string(s.ordinal) + "\",location=\"" +
               (s.location.ok ? std::to_string(s.location.value) : std::string()) + "\"";
    };
    auto header = [](const char *name, const char *help) {
        return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
    };
    bool up = reading.loaded && reading.sensorCount > 0;
    std::string out = header("kovaltherm_up", "1 when the library loaded and gave the sensor count, else 0.");
    out += std::string("kovaltherm_up ") + (up ? "1" : "0") + "\n";
    out += header("kovaltherm_last_success_timestamp_seconds",
                  "Wall-clock time of the last reading that gave the count and every temperature, in seconds "
                  "since 1970 (UTC); 0 before the first.");
    out += "kovaltherm_last_success_timestamp_seconds " + Seconds(reading.lastSuccessWallMs) + "\n";
    out += header("kovaltherm_sensors", "Number of sensors the library reports.");
    if (reading.loaded)
        out += "kovaltherm_sensors " + std::to_string(reading.sensorCount > 0 ? reading.sensorCount : 0) + "\n";
    for (const Family &family : gauges) {
        out += header(family.name, family.help);
        for (const SensorReading &s : reading.sensors)
            if ((s.*family.call).ok)
                out += std::string(family.name) + "{" + labels(s) + "} " + std::to_string((s.*family.call).value) + "\n";
    }
    // The status as a state set: one series per state, 1 for the sensor's present state.
    const std::pair<int, const char *> states[] = {{KOVALTHERM_STATUS_NORMAL, "normal"},
        {KOVALTHERM_STATUS_WARNING, "warning"}, {KOVALTHERM_STATUS_CRITICAL, "critical"},
        {KOVALTHERM_STATUS_NONE, "none"}};
    out += header("kovaltherm_status_state",
                  "1 for the sensor's status (normal, warning, critical or none), 0 for the others.");
    for (const SensorReading &s : reading.sensors)
        if (s.status.ok)
            for (const auto &state : states)
                out += "kovaltherm_status_state{" + labels(s) + ",state=\"" + state.second + "\"} " +
                       (s.status.value == state.first ? "1" : "0") + "\n";
    out += header("kovaltherm_read_failed",
                  "1 when the library call for the value failed and the value is left out, else 0.");
    if (reading.loaded && CountFailed(reading))
        out += "kovaltherm_read_failed{call=\"LMGetNumSensors\"} 1\n";
    for (const SensorReading &s : reading.sensors)
        for (const SensorCall &call : kSensorCalls)
            out += "kovaltherm_read_failed{" + labels(s) + ",call=\"" + call.exportName + "\"} " +
                   ((s.*call.member).ok ? "0" : "1") + "\n";
    out += header("kovaltherm_reading_timestamp_seconds", "Wall-clock time of the reading, in seconds since 1970 (UTC).");
    out += "kovaltherm_reading_timestamp_seconds " + Seconds(reading.wallMs) + "\n";
    return out;
}

std::string Rfc3339(int64_t wallMs)
{
    // Civil date from days since 1970 (Howard Hinnant's days_from_civil, inverted).
    int64_t ms = ((wallMs % 1000) + 1000) % 1000;
    int64_t seconds = (wallMs - ms) / 1000;
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t inDay = seconds - days * 86400;
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t day = doy - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2);
    char text[128];
    snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", (long long)year,
             (long long)month, (long long)day, (long long)(inDay / 3600), (long long)(inDay / 60 % 60),
             (long long)(inDay % 60), (long long)ms);
    return text;
}

bool Utf8Locale()
{
    const char *names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    for (const char *name : names) {
        const char *value = getenv(name);
        if (!value || !*value)
            continue;
        std::string locale;
        for (const char *c = value; *c; ++c)
            if (*c != '-')
                locale += (char)tolower((unsigned char)*c);
        return locale.find("utf8") != std::string::npos;
    }
    return false;
}

} // namespace ktsensors
