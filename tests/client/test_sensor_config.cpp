// The sensor configuration: sensors.conf's parser, the policy keys, their merge, the source
// that keeps the last good configuration, and the owner's state with its hysteresis.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <fstream>

#include "sensor_config.h"

using namespace ktsensors;

namespace {

// A configuration in short: "2 'CPU'; 1 ignore; 4 w35 c45 policy", by location.
std::string Brief(const SensorConfig &config)
{
    std::string out;
    for (const SensorSettings &s : config.sensors) {
        out += (out.empty() ? "" : "; ") + std::to_string(s.location);
        if (!s.label.empty())
            out += " '" + s.label + "'";
        if (s.ignore)
            out += " ignore";
        if (s.warning)
            out += " w" + std::to_string(s.warning);
        if (s.critical)
            out += " c" + std::to_string(s.critical);
        if (s.fromPolicy)
            out += " policy";
    }
    return out;
}

std::string Examples() { return KTSENSORS_EXAMPLES; }

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(SensorConfigFile, TakesWhatOwnersWrite)
{
    struct Case {
        const char *text;
        const char *expected;
    } cases[] = {
        {"", ""},
        {"# nothing\n; nothing either\n\n", ""},
        {"[location 2]\nlabel = CPU\n", "2 'CPU'"},
        {"\xEF\xBB\xBF[Location 2]\r\nLabel=CPU\r\n", "2 'CPU'"},
        {"  [ location\t4 ]  \n  warning =35\ncritical= 45  \n", "4 w35 c45"},
        {"[location 1]\nignore = yes\n[location 5]\nignore = Off\n[location 6]\nignore = 1\n", "1 ignore; 5; 6 ignore"},
        {"[location 9]\nlabel = Akku # not a comment\n", "9 'Akku # not a comment'"},
        {"[location 0]\nlabel = Gehäuse\n[location 3]\n", "0 'Gehäuse'; 3"},
        {"[location 7]\ncritical = 255\nwarning = 1", "7 w1 c255"},
        {"[location 8]\nlabel = 12345678901234567890123456789012\n", "8 '12345678901234567890123456789012'"},
    };
    for (const Case &c : cases) {
        SensorConfig config;
        std::string error;
        EXPECT_TRUE(ParseSensorConfig(c.text, "f", &config, &error)) << c.text << ": " << error;
        EXPECT_EQ(Brief(config), c.expected) << c.text;
    }
}

TEST(SensorConfigFile, RefusesWithTheLineAndAppliesNothing)
{
    struct Case {
        std::string text;
        const char *error;
    } cases[] = {
        {"[location 2]\nlable = CPU\n", "line 2: unknown key 'lable' (expected label, ignore, warning or critical)"},
        {"label = CPU\n", "line 1: label comes before any section: start with [location N]"},
        {"[cpu]\n", "line 1: expected a section [location N] with N a location code from 0 to 9, got '[cpu]'"},
        {"[location 10]\n", "line 1: expected a section [location N] with N a location code from 0 to 9, got '[location 10]'"},
        {"[location 2\n", "line 1: expected a section [location N] with N a location code from 0 to 9, got '[location 2'"},
        {"[location 2]\nCPU\n", "line 2: expected KEY = VALUE or [location N], got 'CPU'"},
        {"[location 2]\nlabel = CPU\n\n[location 2]\n", "line 4: location 2 is given twice, first at line 1"},
        {"[location 4]\nwarning = 35\nWarning = 36\n", "line 3: warning is given twice for location 4, first at line 2"},
        {"[location 4]\nwarning = 35.5\n", "line 2: warning: expected whole degrees Celsius from 1 to 255, got '35.5'"},
        {"[location 4]\ncritical = 0\n", "line 2: critical: expected whole degrees Celsius from 1 to 255, got '0'"},
        {"[location 4]\ncritical = 256\n", "line 2: critical: expected whole degrees Celsius from 1 to 255, got '256'"},
        {"[location 4]\nwarning = -5\n", "line 2: warning: expected whole degrees Celsius from 1 to 255, got '-5'"},
        {"[location 4]\ncritical = 45\nwarning = 45\n[location 2]\n",
         "line 2: the critical threshold (45) must be above the warning one (45)"},
        {"[location 4]\nwarning = 50\ncritical = 45\n", "line 3: the critical threshold (45) must be above the warning one (50)"},
        {"[location 1]\nignore = maybe\n", "line 2: ignore: expected yes or no, got 'maybe'"},
        {"[location 2]\nlabel =\n", "line 2: a label may not be empty, got ''"},
        {"[location 2]\nlabel = \"CPU\"\n", "line 2: a label may not hold any of \"'\\=|, got '\"CPU\"'"},
        {"[location 2]\nlabel = a|b\n", "line 2: a label may not hold any of \"'\\=|, got 'a|b'"},
        {"[location 2]\nlabel = 123456789012345678901234567890123\n",
         "line 2: a label may be at most 32 characters long, got '123456789012345678901234567890123'"},
        {"[location 2]\nlabel = \xC3\x28\n", "line 2: a label must be UTF-8 text"},
        {"[location 2]\nlabel = a\x7F" "b\n", "line 2: a label may not hold control characters, got 'a?b'"},
        {"[location 2]\nlabel = CPU\n[location 4]\nwarning = 35\nlabel = CPU\n",
         "line 5: the label 'CPU' is already given to location 2 at line 2"},
        {std::string("[location 2]\nlabel = C\0PU\n", 25), "line 2: a NUL byte: this is not a text file"},
    };
    for (const Case &c : cases) {
        SensorConfig config;
        config.sensors.push_back(SensorSettings{});
        std::string error;
        EXPECT_FALSE(ParseSensorConfig(c.text, "f", &config, &error)) << c.text;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(config.sensors.size(), 1u) << "half applied: " << c.text;
    }
}

TEST(SensorConfigFile, TheExampleAndItsRoundTrip)
{
    SensorConfig config, again;
    std::string error;
    ASSERT_TRUE(ParseSensorConfig(ReadAll(Examples() + "/sensors.conf"), "sensors.conf", &config, &error)) << error;
    EXPECT_EQ(Brief(config), "1 ignore; 2 'CPU'; 4 'Chipset' w35 c45");
    EXPECT_EQ(config.Find(4)->origin, "sensors.conf line 18");
    EXPECT_EQ(config.Find(3), nullptr);
    ASSERT_TRUE(ParseSensorConfig(FormatSensorConfig(config), "f", &again, &error)) << error;
    EXPECT_EQ(Brief(again), Brief(config));
}

// The keys and values Group Policy writes, as the registry holds them.
TEST(SensorConfigPolicy, ReadsTheKeysTheTemplateWrites)
{
    auto dword = [](const char *name, uint32_t value) { return PolicyValue{name, PolicyValue::Dword, value, ""}; };
    auto text = [](const char *name, const char *value) { return PolicyValue{name, PolicyValue::String, 0, value}; };
    struct Case {
        std::vector<PolicyKey> keys;
        const char *expected; // or the error
        bool ok;
    } cases[] = {
        {{}, "", true},
        {{{"Location 2", {dword("Enabled", 1), text("Label", "CPU"), dword("Ignore", 0), dword("Warning", 0),
                          dword("Critical", 0)}}},
         "2 'CPU' policy", true},
        {{{"location 4", {dword("enabled", 1), dword("Warning", 35), dword("Critical", 45)}},
          {"Location 1", {dword("Enabled", 1), dword("Ignore", 1), text("Label", "")}}},
         "1 ignore policy; 4 w35 c45 policy", true},
        // Disabled: nothing of the owner's for the location, whatever values are left.
        {{{"Location 4", {dword("Enabled", 0), dword("Warning", 35)}}}, "4 policy", true},
        {{{"Location 4", {dword("Warning", 35)}}},
         "HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 4: Enabled is missing: the policy sets it to 1, or 0 "
         "when disabled",
         false},
        {{{"Location 4", {dword("Enabled", 1), dword("Warnig", 35)}}},
         "HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 4: unknown value 'Warnig' (expected Enabled, Label, "
         "Ignore, Warning or Critical)",
         false},
        {{{"Location 4", {dword("Enabled", 1), text("Warning", "35")}}},
         "HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 4: Warning must be a REG_DWORD", false},
        {{{"Location 4", {dword("Enabled", 1), dword("Critical", 300)}}},
         "HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 4: Critical must be whole degrees Celsius from 1 to "
         "255, or 0 for none, got 300",
         false},
        {{{"Location 4", {dword("Enabled", 1), dword("Warning", 45), dword("Critical", 40)}}},
         "HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 4: the critical threshold (40) must be above the "
         "warning one (45)",
         false},
        {{{"Location 2", {dword("Enabled", 2)}}},
         "HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 2: Enabled must be 0 or 1, got 2", false},
        {{{"Location 12", {dword("Enabled", 1)}}},
         "HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 12: not a policy key: expected Location N with N a "
         "location code from 0 to 9",
         false},
        {{{"Location 2", {dword("Enabled", 1), text("Label", "CPU")}}, {"Location 5", {dword("Enabled", 1), text("Label", "CPU")}}},
         "the label 'CPU' is given to location 2 (HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 2) and to "
         "location 5 (HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 5)",
         false},
    };
    for (const Case &c : cases) {
        SensorConfig policy;
        std::string error;
        bool ok = ParseSensorPolicy(c.keys, &policy, &error);
        EXPECT_EQ(ok, c.ok) << c.expected;
        EXPECT_EQ(ok ? Brief(policy) : error, c.expected);
    }
}

// A location with a policy takes all its settings from it; the others keep the file's.
TEST(SensorConfigPolicy, OverridesTheFileLocationByLocation)
{
    SensorConfig file, policy, merged;
    std::string error;
    ASSERT_TRUE(ParseSensorConfig(ReadAll(Examples() + "/sensors.conf"), "sensors.conf", &file, &error));
    ASSERT_TRUE(ParseSensorPolicy({{"Location 4", {{"Enabled", PolicyValue::Dword, 1, ""}, {"Warning", PolicyValue::Dword, 60, ""}}},
                                   {"Location 1", {{"Enabled", PolicyValue::Dword, 0, ""}}},
                                   {"Location 5", {{"Enabled", PolicyValue::Dword, 1, ""}, {"Label", PolicyValue::String, 0, "CPU"}}}},
                                  &policy, &error));
    EXPECT_FALSE(MergeSensorConfig(file, policy, &merged, &error));
    EXPECT_EQ(error, "the label 'CPU' is given to location 2 (sensors.conf line 12) and to location 5 "
                     "(HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location 5)");
    policy.sensors.pop_back();
    ASSERT_TRUE(MergeSensorConfig(file, policy, &merged, &error)) << error;
    EXPECT_EQ(Brief(merged), "1 policy; 2 'CPU'; 4 w60 policy");
}

// A file read before each reading: a bad one keeps the last good configuration and says so.
TEST(SensorConfigSource, KeepsTheLastGoodConfiguration)
{
    char folder[] = "/tmp/sensor-config-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    std::string path = std::string(folder) + "/sensors.conf";
    auto write = [&](const char *text) { std::ofstream(path, std::ios::binary) << text; };
    struct Step {
        const char *file; // null: no file
        bool told;        // Refresh says the outcome changed
        const char *problem;
        const char *config;
    } steps[] = {
        {nullptr, true, "PATH: no such file; no sensor configuration is in effect", ""},
        {"[location 2]\nlable = CPU\n", true,
         "PATH line 2: unknown key 'lable' (expected label, ignore, warning or critical); no sensor configuration is in "
         "effect",
         ""},
        {"[location 2]\nlabel = CPU\n", true, "", "2 'CPU'"},
        {"[location 2]\nlabel = CPU\n", false, "", "2 'CPU'"},
        {"[location 2]\nlabel = CPU\n[location 4]\nwarning = 50\ncritical = 40\n", true,
         "PATH line 5: the critical threshold (40) must be above the warning one (50); the last good sensor "
         "configuration stays in effect",
         "2 'CPU'"},
        {"[location 2]\nlabel = CPU\n[location 4]\nwarning = 50\ncritical = 40\n", false, "same", "2 'CPU'"},
        {"[location 4]\nwarning = 35\n", true, "", "4 w35"},
        {nullptr, true, "PATH: no such file; the last good sensor configuration stays in effect", "4 w35"},
    };
    SensorConfigSource source(path);
    std::string last;
    for (const Step &step : steps) {
        if (step.file)
            write(step.file);
        else
            unlink(path.c_str());
        std::string expected = step.problem;
        if (expected == "same")
            expected = last;
        for (size_t at; (at = expected.find("PATH")) != std::string::npos;)
            expected.replace(at, 4, path);
        EXPECT_EQ(source.Refresh(), step.told) << expected;
        EXPECT_EQ(source.Problem(), expected);
        EXPECT_EQ(source.Valid(), expected.empty());
        EXPECT_EQ(Brief(source.Current()), step.config);
        last = expected;
    }
    rmdir(folder);
}

// The owner's state: warning at or above the warning threshold, critical at or above the
// critical one, down a level only 2 degrees below the threshold it crossed.
TEST(OwnerState, HysteresisOfTwoDegrees)
{
    const int N = kOwnerNormal, W = kOwnerWarning, C = kOwnerCritical;
    struct Case {
        const char *what;
        int warning, critical;
        std::vector<std::pair<int, int>> steps; // temperature, expected state
    } cases[] = {
        {"rising through both", 35, 45, {{20, N}, {34, N}, {35, W}, {44, W}, {45, C}, {50, C}}},
        {"falling: each held to 2 below", 35, 45, {{45, C}, {44, C}, {43, W}, {44, W}, {34, W}, {33, N}, {34, N}}},
        {"steady at the threshold is steady", 35, 45, {{35, W}, {35, W}, {35, W}, {34, W}, {35, W}}},
        {"one reading from critical to normal", 35, 45, {{60, C}, {20, N}}},
        {"critical only", kNoThreshold, 45, {{44, N}, {45, C}, {43, N}}},
        {"warning only", 35, kNoThreshold, {{100, W}, {34, W}, {33, N}}},
        {"the first reading compares plainly", 35, 45, {{43, W}}},
    };
    for (const Case &c : cases) {
        OwnerAlarm alarm;
        for (auto step : c.steps)
            EXPECT_EQ(NextOwnerState(&alarm, step.first, c.warning, c.critical), step.second)
                << c.what << " at " << step.first;
    }
    // Kept by location across readings; a missed temperature keeps the alarm; settings that
    // lose their thresholds forget it.
    OwnerStates states;
    SensorSettings four;
    four.location = 4, four.warning = 35, four.critical = 45;
    SensorSettings two = four;
    two.location = 2;
    EXPECT_EQ(states.Update(four, true, 40), W);
    EXPECT_EQ(states.Update(two, true, 34), N);
    EXPECT_EQ(states.Update(four, false, 0), kOwnerNone);
    EXPECT_EQ(states.Update(four, true, 34), W);
    four.warning = four.critical = kNoThreshold;
    EXPECT_EQ(states.Update(four, true, 34), kOwnerNone);
    four.warning = 35, four.critical = 45;
    EXPECT_EQ(states.Update(four, true, 34), N);
}
