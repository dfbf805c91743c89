// The settings window's logic that needs no window.
#include "owner_settings.h"

#include <algorithm>

#include "excerpt.h"

namespace monitor {

namespace {

using ktsensors::kNoThreshold;
using ktsensors::SensorConfig;
using ktsensors::SensorSettings;

// Where the window's change comes from, in messages.
const char kChangeOrigin[] = "the settings window";

std::string Trim(const std::string &text)
{
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return std::string();
    return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// A parser's message without its "line N: ", which names a line of text the person never saw.
std::string WithoutLine(const std::string &message)
{
    size_t colon = message.find(": ");
    return message.compare(0, 5, "line ") == 0 && colon != std::string::npos ? message.substr(colon + 2) : message;
}

std::string Threshold(int degrees) { return degrees == kNoThreshold ? std::string() : std::to_string(degrees); }

// A threshold field: empty for none, else whole degrees in the range sensors.conf takes.
bool ReadThreshold(const std::string &field, const char *name, int *degrees, std::string *error)
{
    std::string text = Trim(field);
    *degrees = kNoThreshold;
    if (text.empty())
        return true;
    if (text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos) {
        *degrees = std::stoi(text);
        if (*degrees >= ktsensors::kMinThreshold && *degrees <= ktsensors::kMaxThreshold)
            return true;
    }
    *error = std::string(name) + ": expected whole degrees Celsius from " + std::to_string(ktsensors::kMinThreshold) +
             " to " + std::to_string(ktsensors::kMaxThreshold) + ", or nothing for none, got '" + ktsensors::Excerpt(text, 20) +
             "'";
    return false;
}

// One row's fields as sensors.conf reads them: the label's rules and the thresholds' order
// are the parser's own.
bool ReadRow(int location, const RowFields &fields, SensorSettings *settings, std::string *error)
{
    SensorSettings s;
    s.location = location;
    s.label = Trim(fields.label);
    s.origin = kChangeOrigin;
    // A line break would end the label's line in the file: refused as the parser refuses
    // every other control character in a label.
    if (s.label.find_first_of("\r\n") != std::string::npos) {
        *error = "a label may not hold control characters";
        return false;
    }
    if (!ReadThreshold(fields.warning, "warning", &s.warning, error) ||
        !ReadThreshold(fields.critical, "critical", &s.critical, error))
        return false;
    SensorConfig one, parsed;
    one.sensors.push_back(s);
    if (!ParseSensorConfig(FormatSensorConfig(one), kChangeOrigin, &parsed, error)) {
        *error = WithoutLine(*error);
        return false;
    }
    if (parsed.sensors.size() != 1 || parsed.sensors[0].label != s.label) {
        *error = "the label cannot be written as it is";
        return false;
    }
    *settings = s;
    return true;
}

} // namespace

std::vector<SettingsRow> SettingsRows(const Reading &latest)
{
    std::vector<SettingsRow> rows;
    for (const SensorReading &sensor : latest.sensors) {
        if (!sensor.haveLocation || std::any_of(rows.begin(), rows.end(), [&](const SettingsRow &row) {
                return row.location == sensor.location;
            }))
            continue;
        SettingsRow row;
        row.location = sensor.location;
        row.name = SensorTitle(sensor.ordinal, true, sensor.location, "");
        const SensorSettings *settings = latest.config ? latest.config->current.Find(sensor.location) : nullptr;
        if (settings) {
            row.label = settings->label;
            row.warning = settings->warning;
            row.critical = settings->critical;
            row.fixed = settings->fromPolicy;
            if (row.fixed)
                row.reason = L"Fixed by Group Policy (" + FromUtf8(settings->origin) + L"); ask your administrator.";
        }
        rows.push_back(row);
    }
    return rows;
}

RowFields FieldsOf(const SettingsRow &row) { return {row.label, Threshold(row.warning), Threshold(row.critical)}; }

bool CollectChange(const std::vector<SettingsRow> &rows, const std::vector<RowFields> &fields, SensorConfig *change,
                   std::string *error)
{
    SensorConfig collected;
    for (size_t i = 0; i < rows.size() && i < fields.size(); ++i) {
        const SettingsRow &row = rows[i];
        SensorSettings typed;
        if (row.fixed)
            continue;
        if (!ReadRow(row.location, fields[i], &typed, error)) {
            *error = "location " + std::to_string(row.location) + ": " + *error;
            return false;
        }
        if (typed.label != row.label || typed.warning != row.warning || typed.critical != row.critical)
            collected.sensors.push_back(typed);
    }
    *change = collected;
    return true;
}

bool ApplySensorChange(const SensorConfig &file, const SensorConfig &policy, const SensorConfig &change,
                       SensorConfig *result, std::string *error)
{
    SensorConfig applied = file;
    for (const SensorSettings &changed : change.sensors) {
        if (const SensorSettings *fixed = policy.Find(changed.location)) {
            *error = "location " + std::to_string(changed.location) + " is set by Group Policy (" + fixed->origin +
                     "), which only your administrator changes";
            return false;
        }
        if (changed.ignore) {
            *error = "the change may set labels and thresholds only, not ignore (location " +
                     std::to_string(changed.location) + ")";
            return false;
        }
        auto at = std::find_if(applied.sensors.begin(), applied.sensors.end(),
                               [&](const SensorSettings &s) { return s.location >= changed.location; });
        if (at == applied.sensors.end() || at->location != changed.location)
            at = applied.sensors.insert(at, SensorSettings());
        at->location = changed.location;
        at->label = changed.label;
        at->warning = changed.warning;
        at->critical = changed.critical;
        at->origin = kChangeOrigin;
        if (!at->ignore && !at->HasThresholds() && at->label.empty())
            applied.sensors.erase(at);
    }
    // One label for two sensors, of the file's or beside the policy's, is named by where each
    // was given; anything else the file's reader would refuse, by the reader's own words.
    SensorConfig merged, parsed;
    if (!MergeSensorConfig(applied, policy, &merged, error))
        return false;
    if (!ParseSensorConfig(FormatSensorConfig(applied), kChangeOrigin, &parsed, error)) {
        *error = WithoutLine(*error);
        return false;
    }
    *result = parsed;
    return true;
}

std::string ChangeArgument(const SensorConfig &change)
{
    std::string text = FormatSensorConfig(change), argument;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        argument += (argument.empty() ? "" : "|") + line;
    }
    return argument;
}

bool ParseChangeArgument(const std::string &argument, SensorConfig *change, std::string *error)
{
    if (argument.find_first_of("\r\n") != std::string::npos) {
        *error = "the change must be one line";
        return false;
    }
    std::string text = argument;
    std::replace(text.begin(), text.end(), '|', '\n');
    if (!ParseSensorConfig(text, "the change", change, error)) {
        *error = "the change, " + *error;
        return false;
    }
    return true;
}

} // namespace monitor
