// The sensor configuration a machine's owner sets once, which every program of ours applies to
// what the library reports: per location code (the library's contract), a label, whether the
// sensor is ignored, and the owner's own warning and critical thresholds, with the owner's
// alert state they give. The library's limits and status are never changed by it.
//
// Where it comes from
//   The file: /etc/kovaltherm/sensors.conf on Linux, %ProgramData%\Kovaltherm\sensors.conf on
//   Windows, or --config FILE. INI, as Windows' own .ini files and Python's configparser read
//   it: a section per location, keys label, ignore, warning and critical:
//
//       [location 2]
//       label = CPU
//       [location 1]
//       ignore = yes
//       [location 4]
//       warning = 35
//       critical = 45
//
//   Comments are whole lines starting with # or ;. Keys and section names are case-blind,
//   values are taken as written (no quotes, no inline comments). A file is taken whole or not
//   at all: an unknown key or section, a bad value, a section or key given twice, or a label
//   given to two sensors is refused with its line number.
//
//   The Windows service (LocalSystem) reads the file only where only administrators can change
//   it (ReadSensorConfigFile); every other program reads the file it is given.
//
//   Group Policy (Windows): HKLM\SOFTWARE\Policies\Kovaltherm\Sensors\Location N, one key per
//   location, as packaging/admx/kovaltherm.admx defines them. A location with a policy takes
//   all its settings from the policy, whatever the file says of it; locations without one
//   keep the file's. Enabled (REG_DWORD) 1: the values below apply, a missing or empty one is
//   "none"; 0 (the policy disabled): the location has no owner's settings at all. Label
//   (REG_SZ), Ignore (REG_DWORD 0 or 1), Warning and Critical (REG_DWORD whole degrees, 0 for
//   none).
//
// When it is read
//   SensorConfigSource::Refresh reads the file and the policy again; every program calls it
//   before each reading, so a change takes effect at the next reading without a restart. What
//   it reads is taken only when all of it is valid; otherwise the last good configuration stays
//   in effect (none at all before the first good one) and Problem() says why, in one line.
//
// The owner's state
//   OwnerStates keeps, per location, which of the owner's thresholds a sensor has crossed: it
//   enters warning at or above the warning threshold and critical at or above the critical
//   one, and leaves each only at kOwnerHysteresis degrees below it, so that a steady
//   temperature gives a steady state. It lives in the memory of the process that reads: a
//   long run (ktsensors --watch or --listen, the service, the monitor) carries it from reading
//   to reading; a run of one reading (a plain ktsensors, --check, the textfile timer) starts
//   afresh and so compares plainly. Nothing of it is written anywhere.
//
// For a Win32 program (the monitor)
//   Keep one SensorConfigSource and one OwnerStates for the life of the program. Before each
//   reading call Refresh(); when it returns true, tell the person Problem() (or that the
//   configuration applies again). For each sensor read, Current().Find(location) gives its
//   settings or null: leave it out when `ignore`, show `label` (UTF-8: MultiByteToWideChar
//   with CP_UTF8) beside the location, and, where HasThresholds(), take the owner's state
//   from OwnerStates::Update. Policy-fixed locations (`fromPolicy`) are not the person's to
//   change. A person's own settings are the machine's, written to the file every program reads
//   (DefaultSensorConfigPath(): FormatSensorConfig of FileConfig() with the change, never the
//   policy's part, replacing the file whole). The file is the whole machine's and only
//   administrators are to change it, so the settings window asks for elevation (UAC) to save
//   them, and writes nothing where a standard user could. Not per user: a
//   per-user setting would show in that person's monitor only, not in the service's metrics,
//   the textfile or another account's tools, and every output must say the same.
#ifndef KTSENSORS_SENSOR_CONFIG_H
#define KTSENSORS_SENSOR_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "small_file.h"

namespace ktsensors {

// The location codes a section or policy key may name: the library's, 0 to 9.
const int kMinLocationCode = 0;
const int kMaxLocationCode = 9;
// The owner's thresholds are whole degrees Celsius in this range; 0 means none set.
const int kNoThreshold = 0;
const int kMinThreshold = 1;
const int kMaxThreshold = 255;
// A label's length in characters (UTF-8 sequences count once).
const size_t kMaxLabelChars = 32;
// Characters a label may not hold besides control characters: they would end a quoted value
// or break a plugin line (' = |) in some output.
const char kLabelRefused[] = "\"'\\=|";
// How far below a threshold a sensor must cool to leave the state it entered there.
const int kOwnerHysteresis = 2;
// Largest file taken; a sensor configuration is a few hundred bytes.
const size_t kMaxConfigFileBytes = 64 * 1024;
// What such a file is called where one is refused for its size.
const char kConfigFileKind[] = "a sensor configuration";

// The Group Policy keys under HKEY_LOCAL_MACHINE, in step with packaging/admx/kovaltherm.admx
// (packaging/admx/check_admx.py compares them).
#define KT_POLICY_SENSORS_KEY "SOFTWARE\\Policies\\Kovaltherm\\Sensors"
#define KT_POLICY_LOCATION_KEY "Location %d"
#define KT_POLICY_ENABLED "Enabled"
#define KT_POLICY_LABEL "Label"
#define KT_POLICY_IGNORE "Ignore"
#define KT_POLICY_WARNING "Warning"
#define KT_POLICY_CRITICAL "Critical"

// The owner's settings of one location.
struct SensorSettings {
    int location = 0;
    std::string label;          // UTF-8; "" = none
    bool ignore = false;        // left out of every output, alert and icon
    int warning = kNoThreshold; // the owner's thresholds, whole degrees Celsius
    int critical = kNoThreshold;
    bool fromPolicy = false;    // fixed by Group Policy: not the person's to change
    // Where the settings were given, for messages: "FILE line 5" or the policy key.
    std::string origin;

    bool HasThresholds() const { return warning != kNoThreshold || critical != kNoThreshold; }
};

// A whole configuration: settings by location code, ascending, at most one each.
struct SensorConfig {
    std::vector<SensorSettings> sensors;

    // The settings of `location`, or null when it has none.
    const SensorSettings *Find(int location) const;
};

// Parses sensors.conf text; false with "line N: what is wrong" and `*config` untouched.
// `name` prefixes the origin of each section ("FILE line 5").
bool ParseSensorConfig(const std::string &text, const std::string &name, SensorConfig *config, std::string *error);

// The configuration as sensors.conf text, which ParseSensorConfig reads back the same.
std::string FormatSensorConfig(const SensorConfig &config);

// One value of a policy key as the registry holds it: a REG_DWORD or a string (REG_SZ or
// REG_EXPAND_SZ, in UTF-8); `type` is another type's number for anything else.
struct PolicyValue {
    std::string name;
    enum Type { Dword, String, Other } type = Other;
    uint32_t dword = 0;
    std::string text;
};

// A key under KT_POLICY_SENSORS_KEY, by its name ("Location 2"), with its values.
struct PolicyKey {
    std::string name;
    std::vector<PolicyValue> values;
};

// Turns the policy keys into settings (each `fromPolicy`); false with "KEY: what is wrong".
bool ParseSensorPolicy(const std::vector<PolicyKey> &keys, SensorConfig *policy, std::string *error);

// The file's settings with each location that has a policy taken from the policy instead;
// false when the result gives one label to two sensors.
bool MergeSensorConfig(const SensorConfig &file, const SensorConfig &policy, SensorConfig *merged, std::string *error);

// Reads the policy keys (Windows); none elsewhere. False with a message when they exist but
// cannot be read.
bool ReadSensorPolicy(std::vector<PolicyKey> *keys, std::string *error);

// The file read when --config does not name one: /etc/kovaltherm/sensors.conf, or
// %ProgramData%\Kovaltherm\sensors.conf on Windows.
std::string DefaultSensorConfigPath();

// Reads the file at `path` whole (a path's problems start with the path). With `adminOnly`, on
// Windows, only a file that only administrators can change, in folders only they can change,
// read from its folder's checked handle and never through a link (the folder check of
// folder_check_windows.h): the service runs as LocalSystem, and whoever could change what it
// reads could hide a sensor or silence an alert. Anywhere else, any file.
FileRead ReadSensorConfigFile(const std::string &path, bool adminOnly, std::string *text, std::string *error);

#ifdef _WIN32
// Why the service could not take the file at `path` (as given) as its --config: a path its
// command line cannot carry (service_rules.h's KtConfigPathProblem), no such file, a file it
// would not read (ReadSensorConfigFile, adminOnly) or one that is not valid; "" when it can.
// --install-service --config and the MSI's CONFIG_FILE are checked with it. Starts with the path.
std::string ServiceConfigProblem(const std::wstring &path);
#endif

// The file and the policy, read again at each Refresh; what is valid is taken whole.
class SensorConfigSource {
public:
    // `path`: the file --config names, which must exist; "" for the default file, whose
    // absence only means that there is no configuration. `adminOnly`: as ReadSensorConfigFile.
    explicit SensorConfigSource(const std::string &path = "", bool adminOnly = false);

    // Reads the file and the policy again and takes them when they are valid. True when the
    // outcome changed since the last call: a new problem, or the end of one.
    bool Refresh();
    // The configuration in effect: the last good one, empty before the first.
    const SensorConfig &Current() const { return current_; }
    // Its parts: the file's settings and the policy's.
    const SensorConfig &FileConfig() const { return file_; }
    const SensorConfig &PolicyConfig() const { return policy_; }
    // Whether the last Refresh took what it read.
    bool Valid() const { return problem_.empty(); }
    // Why it did not, in one line, saying what stays in effect; "" when it did.
    const std::string &Problem() const { return problem_; }
    // The file read.
    const std::string &Path() const { return path_; }

private:
    std::string path_;
    bool mustExist_;
    bool adminOnly_;
    std::string lastInput_;
    bool refreshed_ = false;
    bool everGood_ = false;
    std::string problem_;
    SensorConfig current_, file_, policy_;
};

// The owner's state of a sensor, numbered as the library's statuses.
enum OwnerState { kOwnerNone = 0, kOwnerNormal = 1, kOwnerWarning = 2, kOwnerCritical = 3 };

// The name of an owner's state: "none", "normal", "warning", "critical".
const char *OwnerStateName(int state);

// Which of the owner's thresholds a sensor is above, held until it cools kOwnerHysteresis
// degrees below.
struct OwnerAlarm {
    bool warning = false;
    bool critical = false;
};

// The state at `temperature` after `*alarm`, which it updates: warning at or above `warning`,
// critical at or above `critical` (kNoThreshold: no such threshold), each held while the
// temperature stays above the threshold less kOwnerHysteresis.
int NextOwnerState(OwnerAlarm *alarm, int temperature, int warning, int critical);

// The owner's alarms of every location, kept from reading to reading.
class OwnerStates {
public:
    // The state of the sensor at `settings.location` for this reading; kOwnerNone without a
    // temperature (its alarm then stays as it was) or without thresholds.
    int Update(const SensorSettings &settings, bool haveTemperature, int temperature);

private:
    std::map<int, OwnerAlarm> alarms_;
};

} // namespace ktsensors

#endif
