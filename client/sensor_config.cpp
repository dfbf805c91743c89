// The sensor configuration: sensors.conf's parser and writer, the policy keys' reading rules,
// their merge, the source re-read before each reading, and the owner's state.
#include "sensor_config.h"

#include <stdlib.h>
#include <string.h>

#include "excerpt.h"
#include "small_file.h"

namespace ktsensors {

namespace {

const char *const kKeys[] = {"label", "ignore", "warning", "critical"};
// Text that is not UTF-8 is not quoted back in a message, which must stay text.
const char kNotUtf8[] = "a label must be UTF-8 text";

// Where a message quotes a refused value: ", got 'VALUE'", or nothing for one not UTF-8.
std::string Got(const std::string &problem, const std::string &value)
{
    return problem == kNotUtf8 ? std::string() : ", got '" + Excerpt(value, 40) + "'";
}

// `text` without the spaces and tabs around it.
std::string Trim(const std::string &text)
{
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return std::string();
    return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// `text` with ASCII letters in lower case.
std::string Lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

// A location code written as one digit; -1 for anything else.
int LocationCode(const std::string &text)
{
    if (text.size() != 1 || text[0] < '0' || text[0] > '9')
        return -1;
    return text[0] - '0';
}

// The location code of a name "location N" (case-blind, any spaces between); -1 if it is not one.
int LocationOfName(const std::string &name)
{
    std::string lower = Lower(name);
    const std::string word = "location";
    if (lower.compare(0, word.size(), word) != 0 || lower.size() == word.size() ||
        (lower[word.size()] != ' ' && lower[word.size()] != '\t'))
        return -1;
    return LocationCode(Trim(lower.substr(word.size())));
}

// Whether `text` is a threshold: kMinThreshold to kMaxThreshold in plain digits.
bool ParseThreshold(const std::string &text, int *value)
{
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = atoi(text.c_str());
    return *value >= kMinThreshold && *value <= kMaxThreshold;
}

// Yes or no as configparser's getboolean reads them.
bool ParseYesNo(const std::string &text, bool *value)
{
    const std::string lower = Lower(text);
    for (const char *yes : {"yes", "true", "on", "1"})
        if (lower == yes)
            return *value = true;
    for (const char *no : {"no", "false", "off", "0"})
        if (lower == no) {
            *value = false;
            return true;
        }
    return false;
}

// Why `label` cannot be a label ("" when it can): valid UTF-8 of 1 to kMaxLabelChars
// characters, no control characters, none of kLabelRefused, no space at either end.
std::string LabelProblem(const std::string &label)
{
    if (label.empty())
        return "a label may not be empty";
    size_t chars = 0;
    for (size_t i = 0; i < label.size(); ++chars) {
        unsigned char c = (unsigned char)label[i];
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || i + length > label.size())
            return kNotUtf8;
        uint32_t code = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = (unsigned char)label[i + k];
            if ((next & 0xC0) != 0x80)
                return kNotUtf8;
            code = code << 6 | (next & 0x3F);
        }
        const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < shortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return kNotUtf8;
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F))
            return "a label may not hold control characters";
        if (code < 0x80 && strchr(kLabelRefused, (int)code))
            return std::string("a label may not hold any of ") + kLabelRefused;
        i += length;
    }
    if (chars > kMaxLabelChars)
        return "a label may be at most " + std::to_string(kMaxLabelChars) + " characters long";
    if (label.front() == ' ' || label.back() == ' ')
        return "a label may not start or end with a space";
    return std::string();
}

// Why warning and critical cannot go together, if they cannot.
std::string ThresholdsProblem(const SensorSettings &s)
{
    if (s.warning != kNoThreshold && s.critical != kNoThreshold && s.critical <= s.warning)
        return "the critical threshold (" + std::to_string(s.critical) + ") must be above the warning one (" +
               std::to_string(s.warning) + ")";
    return std::string();
}

// Why two of the settings share a label, if they do.
std::string SharedLabel(const std::vector<SensorSettings> &sensors)
{
    for (size_t i = 0; i < sensors.size(); ++i)
        for (size_t j = i + 1; j < sensors.size(); ++j)
            if (!sensors[i].label.empty() && sensors[i].label == sensors[j].label)
                return "the label '" + sensors[i].label + "' is given to location " +
                       std::to_string(sensors[i].location) + " (" + sensors[i].origin + ") and to location " +
                       std::to_string(sensors[j].location) + " (" + sensors[j].origin + ")";
    return std::string();
}

// Puts `s` in place in `sensors`, which are kept by location.
void Insert(std::vector<SensorSettings> *sensors, const SensorSettings &s)
{
    auto at = sensors->begin();
    while (at != sensors->end() && at->location < s.location)
        ++at;
    sensors->insert(at, s);
}

} // namespace

const SensorSettings *SensorConfig::Find(int location) const
{
    for (const SensorSettings &s : sensors)
        if (s.location == location)
            return &s;
    return nullptr;
}

bool ParseSensorConfig(const std::string &text, const std::string &name, SensorConfig *config, std::string *error)
{
    SensorConfig parsed;
    SensorSettings *section = nullptr;
    std::vector<int> sectionLines;        // by section: the line of its header
    std::vector<std::vector<int>> keyLines; // by section, by key: the line that set it (0: not yet)
    size_t start = 0;
    // A byte-order mark, as Notepad may write, is not part of the first line.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        start = 3;
    auto fail = [&](int line, const std::string &message) {
        *error = "line " + std::to_string(line) + ": " + message;
        return false;
    };
    // A section is checked as a whole when the next begins and at the end.
    auto closeSection = [&]() -> std::string {
        std::string problem = section ? ThresholdsProblem(*section) : std::string();
        return problem.empty() ? problem : "line " + std::to_string(keyLines.back()[3]) + ": " + problem;
    };
    std::vector<SensorSettings> sensors;
    for (int number = 1; start <= text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string raw = text.substr(start, end - start);
        start = end + 1;
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        if (raw.find('\0') != std::string::npos)
            return fail(number, "a NUL byte: this is not a text file");
        std::string line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line[0] == '[') {
            std::string problem = closeSection();
            if (!problem.empty()) {
                *error = problem;
                return false;
            }
            int location = line.back() == ']' ? LocationOfName(Trim(line.substr(1, line.size() - 2))) : -1;
            if (location < 0)
                return fail(number, "expected a section [location N] with N a location code from " +
                                        std::to_string(kMinLocationCode) + " to " + std::to_string(kMaxLocationCode) +
                                        ", got '" + Excerpt(line, 40) + "'");
            for (size_t i = 0; i < sensors.size(); ++i)
                if (sensors[i].location == location)
                    return fail(number, "location " + std::to_string(location) + " is given twice, first at line " +
                                            std::to_string(sectionLines[i]));
            SensorSettings s;
            s.location = location;
            s.origin = name + " line " + std::to_string(number);
            sensors.push_back(s);
            section = &sensors.back();
            sectionLines.push_back(number);
            keyLines.push_back(std::vector<int>(4, 0));
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            return fail(number, "expected KEY = VALUE or [location N], got '" + Excerpt(line, 40) + "'");
        std::string key = Lower(Trim(line.substr(0, equals)));
        std::string value = Trim(line.substr(equals + 1));
        size_t k = 0;
        while (k < 4 && key != kKeys[k])
            ++k;
        if (k == 4)
            return fail(number, "unknown key '" + Excerpt(key, 40) + "' (expected label, ignore, warning or critical)");
        if (!section)
            return fail(number, key + " comes before any section: start with [location N]");
        int &seen = keyLines.back()[k];
        if (seen)
            return fail(number, key + " is given twice for location " + std::to_string(section->location) +
                                    ", first at line " + std::to_string(seen));
        seen = number;
        std::string problem;
        if (k == 0) {
            problem = LabelProblem(value);
            section->label = value;
        } else if (k == 1) {
            if (!ParseYesNo(value, &section->ignore))
                problem = "ignore: expected yes or no";
        } else if (!ParseThreshold(value, k == 2 ? &section->warning : &section->critical))
            problem = key + ": expected whole degrees Celsius from " + std::to_string(kMinThreshold) + " to " +
                      std::to_string(kMaxThreshold);
        if (!problem.empty())
            return fail(number, problem + Got(problem, value));
    }
    std::string problem = closeSection();
    if (!problem.empty()) {
        *error = problem;
        return false;
    }
    // Two sensors with one label: named by the lines of their labels.
    for (size_t i = 0; i < sensors.size(); ++i)
        for (size_t j = i + 1; j < sensors.size(); ++j)
            if (!sensors[i].label.empty() && sensors[i].label == sensors[j].label)
                return fail(keyLines[j][0], "the label '" + sensors[j].label + "' is already given to location " +
                                                std::to_string(sensors[i].location) + " at line " +
                                                std::to_string(keyLines[i][0]));
    for (const SensorSettings &s : sensors)
        Insert(&parsed.sensors, s);
    *config = parsed;
    return true;
}

std::string FormatSensorConfig(const SensorConfig &config)
{
    std::string text = "# The owner's sensor settings, by location code: label, ignore (yes or no),\n"
                       "# warning and critical (whole degrees Celsius).\n";
    for (const SensorSettings &s : config.sensors) {
        text += "\n[location " + std::to_string(s.location) + "]\n";
        if (!s.label.empty())
            text += "label = " + s.label + "\n";
        if (s.ignore)
            text += "ignore = yes\n";
        if (s.warning != kNoThreshold)
            text += "warning = " + std::to_string(s.warning) + "\n";
        if (s.critical != kNoThreshold)
            text += "critical = " + std::to_string(s.critical) + "\n";
    }
    return text;
}

bool ParseSensorPolicy(const std::vector<PolicyKey> &keys, SensorConfig *policy, std::string *error)
{
    SensorConfig parsed;
    for (const PolicyKey &key : keys) {
        const std::string where = "HKLM\\" KT_POLICY_SENSORS_KEY "\\" + Excerpt(key.name, 40);
        auto fail = [&](const std::string &message) {
            *error = where + ": " + message;
            return false;
        };
        // Exactly "Location N", in any case: the registry's names are case-blind.
        std::string lower = Lower(key.name);
        int location = lower.compare(0, 9, "location ") == 0 ? LocationCode(lower.substr(9)) : -1;
        if (location < 0)
            return fail("not a policy key: expected Location N with N a location code from " +
                        std::to_string(kMinLocationCode) + " to " + std::to_string(kMaxLocationCode));
        SensorSettings s;
        s.location = location;
        s.fromPolicy = true;
        s.origin = where;
        const char *const names[] = {KT_POLICY_ENABLED, KT_POLICY_LABEL, KT_POLICY_IGNORE, KT_POLICY_WARNING,
                                     KT_POLICY_CRITICAL};
        const PolicyValue *found[5] = {};
        for (const PolicyValue &value : key.values) {
            size_t k = 0;
            while (k < 5 && Lower(value.name) != Lower(names[k]))
                ++k;
            if (k == 5)
                return fail("unknown value '" + Excerpt(value.name, 40) +
                            "' (expected Enabled, Label, Ignore, Warning or Critical)");
            found[k] = &value;
            bool string = k == 1;
            if (value.type != (string ? PolicyValue::String : PolicyValue::Dword))
                return fail(std::string(names[k]) + " must be a " + (string ? "REG_SZ" : "REG_DWORD"));
        }
        if (!found[0])
            return fail("Enabled is missing: the policy sets it to 1, or 0 when disabled");
        if (found[0]->dword > 1)
            return fail("Enabled must be 0 or 1, got " + std::to_string(found[0]->dword));
        if (found[0]->dword == 1) {
            if (found[1] && !found[1]->text.empty()) {
                std::string problem = LabelProblem(found[1]->text);
                if (!problem.empty())
                    return fail(problem + Got(problem, found[1]->text));
                s.label = found[1]->text;
            }
            if (found[2] && found[2]->dword > 1)
                return fail("Ignore must be 0 or 1, got " + std::to_string(found[2]->dword));
            s.ignore = found[2] && found[2]->dword == 1;
            for (int k : {3, 4}) {
                uint32_t degrees = found[k] ? found[k]->dword : kNoThreshold;
                if (degrees > (uint32_t)kMaxThreshold)
                    return fail(std::string(names[k]) + " must be whole degrees Celsius from " +
                                std::to_string(kMinThreshold) + " to " + std::to_string(kMaxThreshold) +
                                ", or 0 for none, got " + std::to_string(degrees));
                (k == 3 ? s.warning : s.critical) = (int)degrees;
            }
            std::string problem = ThresholdsProblem(s);
            if (!problem.empty())
                return fail(problem);
        }
        if (parsed.Find(location))
            return fail("location " + std::to_string(location) + " has two policy keys");
        Insert(&parsed.sensors, s);
    }
    std::string shared = SharedLabel(parsed.sensors);
    if (!shared.empty()) {
        *error = shared;
        return false;
    }
    *policy = parsed;
    return true;
}

bool MergeSensorConfig(const SensorConfig &file, const SensorConfig &policy, SensorConfig *merged, std::string *error)
{
    SensorConfig result = policy;
    for (const SensorSettings &s : file.sensors)
        if (!policy.Find(s.location))
            Insert(&result.sensors, s);
    std::string shared = SharedLabel(result.sensors);
    if (!shared.empty()) {
        *error = shared;
        return false;
    }
    *merged = result;
    return true;
}

SensorConfigSource::SensorConfigSource(const std::string &path, bool adminOnly)
    : path_(path.empty() ? DefaultSensorConfigPath() : path), mustExist_(!path.empty()), adminOnly_(adminOnly)
{
}

bool SensorConfigSource::Refresh()
{
    std::string text, fileError, policyError, error;
    FileRead read = ReadSensorConfigFile(path_, adminOnly_, &text, &fileError);
    std::vector<PolicyKey> keys;
    bool policyRead = ReadSensorPolicy(&keys, &policyError);
    // What was read, whole: the same as last time gives the same outcome.
    std::string input = std::to_string((int)read) + '\x1e' + text + '\x1e' + fileError + '\x1e' + policyError;
    for (const PolicyKey &key : keys) {
        input += '\x1e' + key.name;
        for (const PolicyValue &value : key.values)
            input += '\x1f' + value.name + '\x1f' + std::to_string((int)value.type) + '\x1f' +
                     std::to_string(value.dword) + '\x1f' + value.text;
    }
    if (refreshed_ && input == lastInput_)
        return false;
    refreshed_ = true;
    lastInput_ = input;

    SensorConfig file, policy, merged;
    std::string problem;
    if (read == FileRead::Failed)
        problem = fileError;
    else if (read == FileRead::Missing && mustExist_)
        problem = Excerpt(path_, 80) + ": no such file";
    else if (read == FileRead::Ok && !ParseSensorConfig(text, path_, &file, &error))
        problem = Excerpt(path_, 80) + " " + error;
    else if (!policyRead)
        problem = policyError;
    else if (!ParseSensorPolicy(keys, &policy, &error))
        problem = error;
    else if (!MergeSensorConfig(file, policy, &merged, &error))
        problem = error;

    std::string before = problem_;
    if (problem.empty()) {
        current_ = merged;
        file_ = file;
        policy_ = policy;
        everGood_ = true;
        problem_.clear();
    } else
        problem_ = problem + (everGood_ ? "; the last good sensor configuration stays in effect"
                                        : "; no sensor configuration is in effect");
    return problem_ != before;
}

const char *OwnerStateName(int state)
{
    switch (state) {
    case kOwnerNormal: return "normal";
    case kOwnerWarning: return "warning";
    case kOwnerCritical: return "critical";
    default: return "none";
    }
}

int NextOwnerState(OwnerAlarm *alarm, int temperature, int warning, int critical)
{
    auto above = [temperature](bool was, int threshold) {
        return threshold != kNoThreshold &&
               (was ? temperature > threshold - kOwnerHysteresis : temperature >= threshold);
    };
    alarm->warning = above(alarm->warning, warning);
    alarm->critical = above(alarm->critical, critical);
    return alarm->critical ? kOwnerCritical : alarm->warning ? kOwnerWarning : kOwnerNormal;
}

int OwnerStates::Update(const SensorSettings &settings, bool haveTemperature, int temperature)
{
    if (!settings.HasThresholds()) {
        alarms_.erase(settings.location);
        return kOwnerNone;
    }
    if (!haveTemperature)
        return kOwnerNone;
    return NextOwnerState(&alarms_[settings.location], temperature, settings.warning, settings.critical);
}

} // namespace ktsensors
