// Scenario files, read with nlohmann-json. Every field is checked: unknown names, wrong types
// and values out of range are rejected with the field's path, so a typo never silently
// simulates a different notebook.
#include "scenario.h"

#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <initializer_list>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "excerpt.h"
#ifdef _WIN32
#include "wide_windows.h"
#endif

namespace ktsensors {

namespace {

// Whether `path` names a file, and then whether it is a regular one and its size. Paths are
// UTF-8; Windows' C library takes them in UTF-16.
bool Inspect(const std::string &path, bool *regular, uint64_t *size)
{
#ifdef _WIN32
    struct _stat64 info;
    if (_wstat64(Wide(path).c_str(), &info) != 0)
        return false;
#else
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return false;
#endif
    *regular = S_ISREG(info.st_mode);
    *size = (uint64_t)info.st_size;
    return true;
}

// Opens `path` for reading bytes.
FILE *OpenForReading(const std::string &path)
{
#ifdef _WIN32
    return _wfopen(Wide(path).c_str(), L"rb");
#else
    return fopen(path.c_str(), "rb");
#endif
}

using nlohmann::json;

// A scenario is a few kilobytes; anything past these limits is not one.
const size_t kMaxScenarioBytes = 1024 * 1024;
const int kMaxNesting = 16;

// A JSON value as quoted in a message: its text, cut short.
std::string Quote(const json &value) { return Excerpt(value.dump(), 80); }

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string &path, const std::string &message)
{
    throw ScenarioError(path + ": " + message);
}

std::string Child(const std::string &path, const std::string &name)
{
    return path.empty() ? name : path + "." + name;
}

// Checks that `value` is an object whose fields are all in `allowed`.
void CheckObject(const json &value, const std::string &path, std::initializer_list<const char *> allowed)
{
    if (!value.is_object())
        Fail(path.empty() ? "scenario" : path, "expected an object");
    for (auto it = value.begin(); it != value.end(); ++it) {
        bool known = false;
        for (const char *name : allowed)
            known = known || it.key() == name;
        if (!known)
            Fail(Child(path, Excerpt(it.key(), 40)), "unknown field");
    }
}

// Returns an integer field within [low, high]; integers may also be written as "0x..." text.
int64_t Integer(const json &value, const std::string &path, int64_t low, int64_t high)
{
    int64_t number = 0;
    bool ok = false;
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() && value.get<uint64_t>() > (uint64_t)INT64_MAX)
            ok = false;
        else {
            number = value.get<int64_t>();
            ok = true;
        }
    } else if (value.is_string()) {
        const std::string text = value.get<std::string>();
        if (text.size() > 2 && text.size() <= 18 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
            text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos) {
            number = (int64_t)std::stoull(text.substr(2), nullptr, 16);
            ok = number >= 0;
        }
    }
    if (!ok || number < low || number > high) {
        std::ostringstream message;
        message << "expected an integer from " << low << " to " << high << ", got " << Quote(value);
        Fail(path, message.str());
    }
    return number;
}

bool Boolean(const json &value, const std::string &path)
{
    if (!value.is_boolean())
        Fail(path, "expected true or false, got " + Quote(value));
    return value.get<bool>();
}

// Returns the field, or null when absent.
const json *Field(const json &object, const char *name)
{
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

void ParseTrace(const json &value, const std::string &path, bool repeat, SimTrace *trace)
{
    *trace = SimTrace{};
    if (value.is_number()) {
        trace->length = 1;
        trace->points[0].temperature = (int32_t)Integer(value, path, 0, 255);
        return;
    }
    if (!value.is_array() || value.empty() || value.size() > SIM_TRACE_POINTS)
        Fail(path, "expected a temperature from 0 to 255, or a list of 1 to " +
                       std::to_string(SIM_TRACE_POINTS) + " points {\"ms\": ..., \"celsius\": ...}");
    for (size_t i = 0; i < value.size(); ++i) {
        std::string at = path + "[" + std::to_string(i) + "]";
        CheckObject(value[i], at, {"ms", "celsius"});
        const json *ms = Field(value[i], "ms");
        const json *celsius = Field(value[i], "celsius");
        if (!ms)
            Fail(Child(at, "ms"), "missing");
        if (!celsius)
            Fail(Child(at, "celsius"), "missing");
        SimTracePoint &point = trace->points[i];
        point.timeMs = (uint32_t)Integer(*ms, Child(at, "ms"), 0, UINT32_MAX);
        point.temperature = (int32_t)Integer(*celsius, Child(at, "celsius"), 0, 255);
        if (i > 0 && point.timeMs < trace->points[i - 1].timeMs)
            Fail(Child(at, "ms"), "points must be in time order");
    }
    trace->length = (uint32_t)value.size();
    trace->repeat = repeat ? 1 : 0;
}

void ParseSensor(const json &value, const std::string &path, SimConfig *config, uint32_t *listed,
                 uint32_t *present)
{
    CheckObject(value, path,
                {"index", "present", "limits", "firmware_limits", "temperature", "repeat", "comment"});
    const json *index = Field(value, "index");
    if (!index)
        Fail(Child(path, "index"), "missing (the physical sensor, 0 to 7)");
    int i = (int)Integer(*index, Child(path, "index"), 0, SIM_PHYSICAL_SENSORS - 1);
    if (*listed & (1u << i))
        Fail(Child(path, "index"), "sensor " + std::to_string(i) + " is listed twice");
    *listed |= 1u << i;
    const json *presentField = Field(value, "present");
    bool isPresent = presentField ? Boolean(*presentField, Child(path, "present")) : true;
    if (isPresent)
        *present |= 1u << i;

    const json *limits = Field(value, "limits");
    const json *raw = Field(value, "firmware_limits");
    if (limits && raw)
        Fail(Child(path, "firmware_limits"), "give either limits or firmware_limits, not both");
    if (limits) {
        std::string at = Child(path, "limits");
        CheckObject(*limits, at, {"warning_normal", "warning_high", "critical_normal", "critical_high"});
        int values[4];
        const char *names[4] = {"warning_normal", "warning_high", "critical_normal", "critical_high"};
        for (int k = 0; k < 4; ++k) {
            const json *v = Field(*limits, names[k]);
            if (!v)
                Fail(Child(at, names[k]), "missing");
            values[k] = (int)Integer(*v, Child(at, names[k]), 0, 255);
        }
        SimSetLimits(config, i, values[0], values[1], values[2], values[3]);
    } else if (raw) {
        std::string at = Child(path, "firmware_limits");
        CheckObject(*raw, at, {"status", "cx", "esi", "edi"});
        SimSensorLimits &l = config->limits[i];
        const json *v;
        l.status = (v = Field(*raw, "status")) ? (uint32_t)Integer(*v, Child(at, "status"), 0, 255) : 0;
        l.cx = (v = Field(*raw, "cx")) ? (uint32_t)Integer(*v, Child(at, "cx"), 0, 0xFFFF) : 0;
        l.esi = (v = Field(*raw, "esi")) ? (uint32_t)Integer(*v, Child(at, "esi"), 0, UINT32_MAX) : 0;
        l.edi = (v = Field(*raw, "edi")) ? (uint32_t)Integer(*v, Child(at, "edi"), 0, UINT32_MAX) : 0;
    }

    const json *repeatField = Field(value, "repeat");
    bool repeat = repeatField ? Boolean(*repeatField, Child(path, "repeat")) : false;
    const json *temperature = Field(value, "temperature");
    if (temperature) {
        if (i >= (int)SIM_CONTROLLER_SENSORS)
            Fail(Child(path, "temperature"),
                 "the controller reports no temperature for physical sensor " + std::to_string(i));
        ParseTrace(*temperature, Child(path, "temperature"), repeat, &config->temperatures[i]);
    } else if (isPresent && i < (int)SIM_CONTROLLER_SENSORS) {
        Fail(Child(path, "temperature"), "missing (required for a present sensor)");
    }
}

void ParseFirmware(const json &value, SimConfig *config, bool *presenceGiven)
{
    const std::string path = "firmware";
    CheckObject(value, path, {"port", "config_port", "info_status", "info_available", "presence"});
    const json *v;
    if ((v = Field(value, "port"))) {
        config->firmwarePort = (uint32_t)Integer(*v, "firmware.port", 0, 0xFFFF);
        config->configBytes[0x7E] = (uint8_t)config->firmwarePort;
        config->configBytes[0x7F] = (uint8_t)(config->firmwarePort >> 8);
    }
    if ((v = Field(value, "config_port"))) {
        uint32_t port = (uint32_t)Integer(*v, "firmware.config_port", 0, 0xFFFF);
        config->configBytes[0x7E] = (uint8_t)port;
        config->configBytes[0x7F] = (uint8_t)(port >> 8);
    }
    if ((v = Field(value, "info_status")))
        config->infoStatus = (uint32_t)Integer(*v, "firmware.info_status", 0, 255);
    if ((v = Field(value, "info_available")))
        config->infoCl = Boolean(*v, "firmware.info_available") ? SIM_FW_INFO_AVAILABLE : 0;
    if ((v = Field(value, "presence"))) {
        config->presence = (uint32_t)Integer(*v, "firmware.presence", 0, 0xFF);
        *presenceGiven = true;
    }
}

void ParseController(const json &value, SimConfig *config)
{
    CheckObject(value, "controller", {"busy_polls", "stuck", "wrong_echoes", "wrong_echo_forever", "wrong_echo_byte"});
    const json *v;
    if ((v = Field(value, "busy_polls")))
        SimSetBusyPolls(config, (uint32_t)Integer(*v, "controller.busy_polls", 0, 64));
    if ((v = Field(value, "stuck")) && Boolean(*v, "controller.stuck")) {
        SimSetBusyPolls(config, 64);
        config->busyAfterPattern = 1;
    }
    if ((v = Field(value, "wrong_echoes")))
        config->wrongEchoReads = (uint32_t)Integer(*v, "controller.wrong_echoes", 0, UINT32_MAX);
    if ((v = Field(value, "wrong_echo_forever")))
        config->wrongEchoForever = Boolean(*v, "controller.wrong_echo_forever") ? 1 : 0;
    if ((v = Field(value, "wrong_echo_byte")))
        config->wrongEchoByte = (uint32_t)Integer(*v, "controller.wrong_echo_byte", 0, 255);
}

void ParseDriver(const json &value, SimConfig *config)
{
    CheckObject(value, "driver", {"probe_succeeds", "failures", "error"});
    const json *v;
    if ((v = Field(value, "probe_succeeds")))
        config->probeSucceeds = Boolean(*v, "driver.probe_succeeds") ? 1 : 0;
    if ((v = Field(value, "error")))
        config->failError = (uint32_t)Integer(*v, "driver.error", 1, UINT32_MAX);
    if ((v = Field(value, "failures"))) {
        static const char *const names[SIM_REQ_COUNT] = {
            "read_config_byte", "firmware", "read_controller_byte", "write_controller_byte",
            "controller_busy", "probe_thermal"};
        CheckObject(*v, "driver.failures", {names[0], names[1], names[2], names[3], names[4], names[5]});
        for (int r = 0; r < SIM_REQ_COUNT; ++r) {
            const json *count = Field(*v, names[r]);
            if (!count)
                continue;
            std::string at = std::string("driver.failures.") + names[r];
            if (count->is_string() && count->get<std::string>() == "always")
                config->failCount[r] = SIM_FAIL_ALWAYS;
            else if (count->is_string() && count->get<std::string>().rfind("0x", 0) != 0)
                Fail(at, "expected a count of failed requests or \"always\", got " + Quote(*count));
            else
                config->failCount[r] = (uint32_t)Integer(*count, at, 0, SIM_FAIL_ALWAYS - 1);
        }
    }
}

} // namespace

bool ParseScenario(const std::string &text, SimConfig *config, std::string *error)
{
    try {
        // Refuses deep nesting while parsing, before anything is built, and notes the first
        // name that appears twice in one object, which is told once the file is known to be a
        // scenario: nothing of a file that is not one is quoted (whoever names a file to a
        // privileged program must not learn its content).
        std::vector<std::set<std::string>> names;
        std::string twice;
        json::parser_callback_t check = [&](int depth, json::parse_event_t event, json &parsed) {
            if (depth > kMaxNesting)
                throw ScenarioError("nested deeper than " + std::to_string(kMaxNesting) + " levels");
            if (event == json::parse_event_t::object_start)
                names.emplace_back();
            else if (event == json::parse_event_t::object_end && !names.empty())
                names.pop_back();
            else if (event == json::parse_event_t::key && !names.empty() &&
                     !names.back().insert(parsed.get<std::string>()).second && twice.empty())
                twice = "the name \"" + Excerpt(parsed.get<std::string>(), 40) + "\" appears twice in one object";
            return true;
        };
        json root = json::parse(text, check, true, /*ignore_comments=*/true);
        static const char *const kTopLevel[] = {"description", "sensors", "firmware", "controller", "driver"};
        if (!root.is_object())
            throw ScenarioError("not a scenario: expected a JSON object");
        for (auto it = root.begin(); it != root.end(); ++it)
            if (std::find(std::begin(kTopLevel), std::end(kTopLevel), it.key()) == std::end(kTopLevel))
                throw ScenarioError("not a scenario: a field at its top level other than description, sensors, "
                                    "firmware, controller and driver");
        if (!twice.empty())
            throw ScenarioError(twice);
        if (const json *d = Field(root, "description"); d && !d->is_string())
            Fail("description", "expected text");
        // The default machine's firmware, controller and driver, without its sensors.
        SimConfig c;
        SimDefaultConfig(&c);
        c.presence = 0;
        for (uint32_t i = 0; i < SIM_PHYSICAL_SENSORS; ++i)
            c.limits[i] = SimSensorLimits{SIM_FW_STATUS_UNSUPPORTED, 0, 0, 0};
        for (uint32_t i = 0; i < SIM_CONTROLLER_SENSORS; ++i)
            SimSetTemperature(&c, (int)i, 0);

        bool presenceGiven = false;
        if (const json *v = Field(root, "firmware"))
            ParseFirmware(*v, &c, &presenceGiven);
        if (const json *v = Field(root, "controller"))
            ParseController(*v, &c);
        if (const json *v = Field(root, "driver"))
            ParseDriver(*v, &c);
        const json *sensors = Field(root, "sensors");
        if (!sensors)
            Fail("sensors", "missing (a list of the notebook's sensors, possibly empty)");
        if (!sensors->is_array())
            Fail("sensors", "expected a list");
        uint32_t listed = 0, present = 0;
        for (size_t i = 0; i < sensors->size(); ++i)
            ParseSensor((*sensors)[i], "sensors[" + std::to_string(i) + "]", &c, &listed, &present);
        if (!presenceGiven)
            c.presence = present;
        *config = c;
        return true;
    } catch (const json::parse_error &e) {
        // Where and why, without the text the parser last read: a file that is not JSON is
        // not a scenario, and nothing of it is quoted.
        std::string what = e.what();
        size_t cut = what.find("] ");
        if (cut != std::string::npos)
            what = what.substr(cut + 2);
        size_t lastRead = what.find("; last read: ");
        if (lastRead != std::string::npos)
            what.erase(lastRead);
        *error = "not valid JSON: " + Excerpt(what, 260);
    } catch (const ScenarioError &e) {
        *error = e.what();
    } catch (const json::exception &e) {
        *error = Excerpt(e.what(), 200);
    }
    return false;
}

bool LoadScenarioFile(const std::string &path, SimConfig *config, std::string *error)
{
    const std::string name = Excerpt(path, 80);
    // Only a regular file: a pipe or a device could block or never end.
    bool regular = false;
    uint64_t size = 0;
    if (!Inspect(path, &regular, &size)) {
        *error = name + ": no such file";
        return false;
    }
    if (!regular) {
        *error = name + ": not a regular file";
        return false;
    }
    if (size > kMaxScenarioBytes) {
        *error = name + ": larger than " + std::to_string(kMaxScenarioBytes / 1024) + " KiB, too large for a scenario";
        return false;
    }
    FILE *file = OpenForReading(path);
    if (!file) {
        *error = name + ": cannot be read";
        return false;
    }
    // Reads at most one byte past the limit, in case the file grew since stat.
    std::string text(kMaxScenarioBytes + 1, '\0');
    size_t length = fread(&text[0], 1, text.size(), file);
    bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) {
        *error = name + ": cannot be read";
        return false;
    }
    if (length > kMaxScenarioBytes) {
        *error = name + ": larger than " + std::to_string(kMaxScenarioBytes / 1024) + " KiB, too large for a scenario";
        return false;
    }
    text.resize(length);
    if (!ParseScenario(text, config, error)) {
        *error = name + ": " + *error;
        return false;
    }
    return true;
}

uint32_t ScenarioDurationMs(const SimConfig &config)
{
    uint32_t duration = 0;
    for (uint32_t i = 0; i < SIM_CONTROLLER_SENSORS; ++i) {
        const SimTrace &trace = config.temperatures[i];
        if (!(config.presence & (1u << i)) || trace.length < 2 || trace.length > SIM_TRACE_POINTS)
            continue;
        uint32_t end = trace.points[trace.length - 1].timeMs;
        if (end > duration)
            duration = end;
    }
    return duration;
}

} // namespace ktsensors
