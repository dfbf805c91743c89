// --check: the monitoring plugins' range syntax, and the one line with its state, the sensors
// in trouble and the performance data.
#include <gtest/gtest.h>

#include "check.h"
#include "tests/support/sensor_readings.h"

namespace {

using ktsensors::Call;
using ktsensors::Reading;
using ktsensors::SensorReading;
using testsupport::kFailed;
using testsupport::Sensor;

TEST(Check, RangesFollowThePluginsSyntax)
{
    struct Case { const char *range; std::vector<double> alert, quiet; };
    const Case cases[] = {
        {"10", {-1, 10.5, 11}, {0, 5, 10}},
        {"10:", {9, -5}, {10, 1000}},
        {"~:10", {11}, {10, -1000}},
        {"10:20", {9, 21}, {10, 15, 20}},
        {"@10:20", {10, 15, 20}, {9, 21}},
        {"-5:5.5", {-6, 6}, {-5, 0, 5.5}},
    };
    for (const Case &c : cases) {
        ktsensors::Range range;
        std::string error;
        ASSERT_TRUE(ktsensors::ParseRange(c.range, &range, &error)) << c.range << ": " << error;
        for (double v : c.alert)
            EXPECT_TRUE(ktsensors::RangeAlerts(range, v)) << c.range << " at " << v;
        for (double v : c.quiet)
            EXPECT_FALSE(ktsensors::RangeAlerts(range, v)) << c.range << " at " << v;
    }
    for (const char *bad : {"", ":", "@", "x", "20:10", "1e3", "10:x", "~"}) {
        ktsensors::Range range;
        std::string error;
        EXPECT_FALSE(ktsensors::ParseRange(bad, &range, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(Check, OneLineWithTheWorstStateTheSensorsInTroubleAndPerformanceData)
{
    const Call warn90{true, 90}, crit98{true, 98};
    struct Case {
        std::vector<SensorReading> sensors;
        const char *warning, *critical; // "" for none
        std::vector<int> ignore;
        ktsensors::CheckState state;
        const char *line;
    };
    const Case cases[] = {
        {{Sensor(0, {true, 2}, {true, 97}, warn90, crit98, {true, 3})}, "", "", {}, ktsensors::kCheckCritical,
         "KOVALTHERM CRITICAL - sensor 0 (location 2) 97 C critical | 'sensor0'=97;90;98;0;"},
        {{Sensor(0, {true, 2}, {true, 52}, warn90, crit98, {true, 1}), Sensor(1, {true, 4}, {true, 41}, {true, 65}, {true, 75}, {true, 1})},
         "", "", {}, ktsensors::kCheckOk,
         "KOVALTHERM OK - sensor 0 (location 2) 52 C normal, sensor 1 (location 4) 41 C normal | "
         "'sensor0'=52;90;98;0; 'sensor1'=41;65;75;0;"},
        // WARNING before UNKNOWN; only the sensors in trouble are named.
        {{Sensor(0, {true, 2}, {true, 52}, warn90, crit98, {true, 1}), Sensor(1, {true, 5}, {true, 39}, kFailed, kFailed, {true, 0}),
          Sensor(2, {true, 1}, {true, 89}, warn90, crit98, {true, 2})},
         "", "", {}, ktsensors::kCheckWarning,
         "KOVALTHERM WARNING - sensor 1 (location 5) 39 C no status, sensor 2 (location 1) 89 C warning | "
         "'sensor0'=52;90;98;0; 'sensor1'=39;;;0; 'sensor2'=89;90;98;0;"},
        {{Sensor(0, {true, 2}, kFailed, warn90, crit98, {true, 0}), Sensor(1, kFailed, {true, 50}, warn90, crit98, {true, 1})},
         "", "", {}, ktsensors::kCheckUnknown,
         "KOVALTHERM UNKNOWN - sensor 0 (location 2) no temperature | 'sensor1'=50;90;98;0;"},
        {{Sensor(0, {true, 2}, kFailed, warn90, crit98, {true, 0}), Sensor(1, kFailed, {true, 50}, warn90, crit98, {true, 1})},
         "", "", {0}, ktsensors::kCheckOk, "KOVALTHERM OK - sensor 1 (location FAILED) 50 C normal | 'sensor1'=50;90;98;0;"},
        {{Sensor(0, {true, 2}, {true, 50}, warn90, crit98, kFailed)}, "", "", {}, ktsensors::kCheckUnknown,
         "KOVALTHERM UNKNOWN - sensor 0 (location 2) 50 C status unreadable | 'sensor0'=50;90;98;0;"},
        // Ranges decide instead of the status; a range for inside stays out of the data.
        {{Sensor(0, {true, 2}, {true, 85}, warn90, crit98, {true, 1})}, "80", "90", {}, ktsensors::kCheckWarning,
         "KOVALTHERM WARNING - sensor 0 (location 2) 85 C warning | 'sensor0'=85;80;90;0;"},
        {{Sensor(0, {true, 2}, {true, 85}, warn90, crit98, {true, 3})}, "~:95", "@80:90", {}, ktsensors::kCheckCritical,
         "KOVALTHERM CRITICAL - sensor 0 (location 2) 85 C critical | 'sensor0'=85;~:95;;0;"},
        {{Sensor(0, {true, 2}, {true, 85}, warn90, crit98, {true, 3})}, "", "90:", {}, ktsensors::kCheckCritical,
         "KOVALTHERM CRITICAL - sensor 0 (location 2) 85 C critical | 'sensor0'=85;;90:;0;"},
        {{Sensor(0, {true, 2}, {true, 85}, warn90, crit98, {true, 3})}, "90", "", {0}, ktsensors::kCheckOk,
         "KOVALTHERM OK - every sensor is ignored | 'sensor0'=85;90;;0;"},
    };
    for (const Case &c : cases) {
        Reading reading;
        reading.sensorCount = (int)c.sensors.size();
        reading.sensors = c.sensors;
        ktsensors::CheckOptions options;
        std::string error;
        if (*c.warning) {
            ASSERT_TRUE(ktsensors::ParseRange(c.warning, &options.warning, &error));
        }
        if (*c.critical) {
            ASSERT_TRUE(ktsensors::ParseRange(c.critical, &options.critical, &error));
        }
        options.ignore = c.ignore;
        ktsensors::CheckResult result = ktsensors::JudgeReading(reading, options);
        EXPECT_EQ(result.line, std::string(c.line) + "\n");
        EXPECT_EQ(result.state, c.state) << c.line;
    }

    // Nothing read: UNKNOWN, no performance data.
    Reading none;
    EXPECT_EQ(ktsensors::JudgeReading(none, {}).line,
              "KOVALTHERM UNKNOWN - no sensors: no thermal support, or the sensor cache could not be read\n");
    none.loaded = false;
    EXPECT_EQ(ktsensors::JudgeReading(none, {}).state, ktsensors::kCheckUnknown);

    // A damaged cache's huge count still gives one line under NRPE's 1 KB, with whole items.
    Reading many;
    for (int i = 0; i < 300; ++i)
        many.sensors.push_back(Sensor(i, {true, 2}, {true, 99}, warn90, crit98, {true, 3}));
    many.sensorCount = 300;
    std::string line = ktsensors::JudgeReading(many, {}).line;
    EXPECT_LE(line.size(), 1000u);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(line.rfind("'=99;90;98;0;\n"), line.size() - 14) << line;
    EXPECT_EQ(line.compare(0, 22, "KOVALTHERM CRITICAL - "), 0);
}

} // namespace
