// The settings window's logic that needs no window: the rows it shows, the change a person types
// into them, that change applied to the machine's file as the elevated writer applies it, and
// the change as the writer's argument.
#ifndef KOVALTHERM_MONITOR_OWNER_SETTINGS_H
#define KOVALTHERM_MONITOR_OWNER_SETTINGS_H

#include <string>
#include <vector>

#include "model.h"
#include "sensor_config.h"

namespace monitor {

// One row of the settings window: a sensor of the latest reading, with what applies to it.
struct SettingsRow {
    int location = 0;
    std::wstring name;    // "sensor 0 (location 2)"
    std::string label;    // UTF-8, "" for none
    int warning = ktsensors::kNoThreshold, critical = ktsensors::kNoThreshold;
    bool fixed = false;   // set by Group Policy: shown, not the person's to change
    std::wstring reason;  // why it is fixed
};

// A row's fields as the person left them (UTF-8): the label, the thresholds in whole degrees
// ("" for none).
struct RowFields {
    std::string label, warning, critical;
};

// The rows for the sensors of `latest` that have a location (those the configuration ignores
// are not in it), each with the settings its configuration gives.
std::vector<SettingsRow> SettingsRows(const Reading &latest);

// The fields as they first show a row: its label, and its thresholds ("" for none).
RowFields FieldsOf(const SettingsRow &row);

// The change the person made: the rows not fixed whose fields differ from what they showed,
// each read as sensors.conf would read it (fields[i] belongs to rows[i]). False with why, naming
// the sensor, when a field is not valid; an empty change when nothing differs.
bool CollectChange(const std::vector<SettingsRow> &rows, const std::vector<RowFields> &fields,
                   ktsensors::SensorConfig *change, std::string *error);

// `change` applied to the machine's `file` as the elevated writer applies it: each location it
// names takes its label and thresholds (whether the file ignores the sensor stays as the file
// says; a location left with nothing is dropped). False with why when `policy` fixes a
// location it names, or the result would not be a valid file, or would give one label to two
// sensors beside the policy.
bool ApplySensorChange(const ktsensors::SensorConfig &file, const ktsensors::SensorConfig &policy,
                       const ktsensors::SensorConfig &change, ktsensors::SensorConfig *result, std::string *error);

// The change as the writer's one argument: its sensors.conf sections, lines joined by "|" (a
// character no label may hold), and back; false with why when the argument is not one.
std::string ChangeArgument(const ktsensors::SensorConfig &change);
bool ParseChangeArgument(const std::string &argument, ktsensors::SensorConfig *change, std::string *error);

} // namespace monitor

#endif
