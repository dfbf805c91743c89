// ktsensors' formats where the end-to-end runs do not reach: REGEDIT4 text for every value
// type, the text and JSON of readings with failed calls, and how scenario fields land in the
// simulated notebook's record.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "check.h"
#include "formats.h"
#include "options.h"
#include "prometheus_parser.h"
#include "readings.h"
#include "regedit.h"
#include "scenario.h"

namespace {

using ktsensors::Call;
using ktsensors::RegEntry;
using ktsensors::RegKey;

std::vector<uint8_t> Bytes(size_t count, uint8_t first = 1)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < count; ++i)
        bytes.push_back((uint8_t)(first + i));
    return bytes;
}

TEST(Regedit4, WritesEachValueTypeAsRegeditDoes)
{
    struct Case {
        RegEntry value;
        std::string line;
    };
    const Case cases[] = {
        {{"Number of sensors", 4, {3, 0, 0, 0}}, "\"Number of sensors\"=dword:00000003\n"},
        {{"Negative", 4, {0xFF, 0xFF, 0xFF, 0xFF}}, "\"Negative\"=dword:ffffffff\n"},
        {{"Short dword", 4, {1, 2}}, "\"Short dword\"=hex(4):01,02\n"},
        {{"", 1, {'x', 0}}, "@=\"x\"\n"},
        {{"Path \"quoted\"", 1, {'C', ':', '\\', 'a', 0}}, "\"Path \\\"quoted\\\"\"=\"C:\\\\a\"\n"},
        {{"Two strings", 1, {'a', 0, 'b', 0}}, "\"Two strings\"=hex(1):61,00,62,00\n"},
        {{"Empty", 3, {}}, "\"Empty\"=hex:\n"},
        {{"Quad", 11, {1, 0, 0, 0, 0, 0, 0, 0}}, "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\n"},
        // 23 bytes fill the first line to column 79, then 25 to a line, two spaces in.
        {{"Odd", 3, Bytes(50)},
         "\"Odd\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\n"
         "  18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,30,\\\n"
         "  31,32\n"},
    };
    for (const Case &c : cases) {
        RegKey key;
        key.path = "HKEY_LOCAL_MACHINE\\K";
        key.values = {c.value};
        EXPECT_EQ(ktsensors::FormatRegedit4(key), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n" + c.line + "\n")
            << c.value.name;
    }
}

TEST(Regedit4, ListsSubkeysAfterTheirParentInWalkOrder)
{
    RegKey root{"HKEY_LOCAL_MACHINE\\T", {}, {}};
    RegKey a{"HKEY_LOCAL_MACHINE\\T\\A", {{"v", 4, {1, 0, 0, 0}}}, {{"HKEY_LOCAL_MACHINE\\T\\A\\Deep", {}, {}}}};
    root.subkeys = {a, {"HKEY_LOCAL_MACHINE\\T\\B", {}, {}}};
    EXPECT_EQ(ktsensors::FormatRegedit4(root),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\T]\n\n[HKEY_LOCAL_MACHINE\\T\\A]\n\"v\"=dword:00000001\n\n"
              "[HKEY_LOCAL_MACHINE\\T\\A\\Deep]\n\n[HKEY_LOCAL_MACHINE\\T\\B]\n\n");
}

ktsensors::Reading FailingReading()
{
    ktsensors::Reading reading;
    reading.number = 4;
    reading.timeMs = 1500;
    reading.sensorCount = 2;
    ktsensors::SensorReading good;
    good.ordinal = 0;
    good.timeMs = 1500;
    good.location = Call{true, 9};
    good.temperature = Call{true, 255};
    good.warningLimit = Call{true, 128};
    good.criticalLimit = Call{true, 0};
    good.status = Call{true, 2};
    ktsensors::SensorReading bad;
    bad.ordinal = 1;
    bad.timeMs = 1520;
    bad.temperature = Call{true, 7};
    bad.status = Call{true, 0};
    reading.sensors = {good, bad};
    return reading;
}

TEST(Readings, TextShowsFailedCallsAsFailed)
{
    EXPECT_EQ(ktsensors::FormatText(FailingReading()),
              "kovaltherm-qorix\n"
              "Adapter: Kovaltherm.dll\n"
              "sensor 0 (location 9):   +255.0 C  (warn = +128.0 C, crit = +0.0 C)  warning\n"
              "sensor 1 (location FAILED):   +7.0 C  (warn = FAILED, crit = FAILED)    no status\n");
    ktsensors::Reading none;
    none.sensorCount = 0;
    EXPECT_EQ(ktsensors::FormatText(none),
              "kovaltherm-qorix\nAdapter: Kovaltherm.dll\n"
              "no sensors (no thermal support, or the sensor cache could not be read)\n");
}

TEST(Readings, JsonNamesEveryFailedFieldAndNullsIt)
{
    nlohmann::json doc = nlohmann::json::parse(ktsensors::FormatJson(FailingReading()));
    EXPECT_EQ(doc["reading"], 4);
    EXPECT_EQ(doc["time_ms"], 1500);
    EXPECT_EQ(doc["sensor_count"], 2);
    const nlohmann::json &bad = doc["sensors"][1];
    for (const char *field : {"location", "warning_limit", "critical_limit"})
        EXPECT_TRUE(bad[field].is_null()) << field;
    EXPECT_EQ(bad["temperature"], 7);
    EXPECT_EQ(bad["status"], "no status");
    EXPECT_EQ(bad["failed"], nlohmann::json::array({"location", "warning_limit", "critical_limit"}));
    EXPECT_EQ(doc["sensors"][0]["status"], "warning");
    EXPECT_EQ(ktsensors::FailedCalls(FailingReading()),
              (std::vector<std::string>{"LMGetSensorLocation(1)", "LMReadWarningLimit(1)", "LMReadCriticalLimit(1)"}));
}

TEST(Scenario, FieldsLandInTheNotebookRecord)
{
    SimConfig c;
    std::string error;
    ASSERT_TRUE(ktsensors::ParseScenario(R"({
        "sensors": [
          {"index": 2, "limits": {"warning_normal": 1, "warning_high": 2, "critical_normal": 3, "critical_high": 4},
           "temperature": [{"ms": 100, "celsius": 40}, {"ms": 900, "celsius": 80}], "repeat": true},
          {"index": 5, "present": false, "firmware_limits": {"status": "0x86", "cx": "0x4840", "esi": 7}, "temperature": 33},
          {"index": 7}
        ],
        "firmware": {"port": 4660, "config_port": 22136, "info_status": 134, "info_available": false},
        "controller": {"stuck": true, "wrong_echoes": 3, "wrong_echo_byte": 37},
        "driver": {"probe_succeeds": false, "failures": {"firmware": 2, "controller_busy": "always"}, "error": 5}
    })", &c, &error)) << error;
    EXPECT_EQ(c.presence, 0x84u); // sensors 2 and 7; 5 is listed as absent
    // Sensor 2's limits: warning pair in slot 1 (esi high half), critical pair in slot 2 (di).
    EXPECT_EQ(c.limits[2].status, 0u);
    EXPECT_EQ(c.limits[2].esi, 0x02010000u);
    EXPECT_EQ(c.limits[2].edi & 0xFFFF, 0x0403u);
    EXPECT_EQ(c.limits[5].status, 0x86u);
    EXPECT_EQ(c.limits[5].cx, 0x4840u);
    EXPECT_EQ(c.limits[5].esi, 7u);
    EXPECT_EQ(c.limits[7].status, 0x86u); // no limits given: the firmware has none
    EXPECT_EQ(c.temperatures[2].length, 2u);
    EXPECT_EQ(c.temperatures[2].repeat, 1u);
    EXPECT_EQ(c.temperatures[2].points[1].timeMs, 900u);
    EXPECT_EQ(c.temperatures[2].points[1].temperature, 80);
    EXPECT_EQ(c.temperatures[5].points[0].temperature, 33);
    EXPECT_EQ(c.firmwarePort, 0x1234u);
    EXPECT_EQ(c.configBytes[0x7E], 0x78);
    EXPECT_EQ(c.configBytes[0x7F], 0x56);
    EXPECT_EQ(c.infoStatus, 0x86u);
    EXPECT_EQ(c.infoCl, 0u);
    EXPECT_EQ(c.busyPatternLength, 64u);
    EXPECT_EQ(c.busyPattern, ~0ull);
    EXPECT_EQ(c.busyAfterPattern, 1u);
    EXPECT_EQ(c.wrongEchoReads, 3u);
    EXPECT_EQ(c.wrongEchoByte, 37u);
    EXPECT_EQ(c.probeSucceeds, 0u);
    EXPECT_EQ(c.failCount[SIM_REQ_FIRMWARE], 2u);
    EXPECT_EQ(c.failCount[SIM_REQ_CONTROLLER_BUSY], (uint32_t)SIM_FAIL_ALWAYS);
    EXPECT_EQ(c.failCount[SIM_REQ_PROBE_THERMAL], 0u);
    EXPECT_EQ(c.failError, 5u);
}

TEST(Scenario, DefaultsAreTheDefaultMachineWithoutItsSensors)
{
    SimConfig c;
    std::string error;
    ASSERT_TRUE(ktsensors::ParseScenario(R"({"sensors": [], "firmware": {"presence": 255}})", &c, &error)) << error;
    EXPECT_EQ(c.presence, 0xFFu);
    EXPECT_EQ(c.firmwarePort, 0x00B2u);
    EXPECT_EQ(c.configBytes[0x7E], 0xB2);
    EXPECT_EQ(c.infoStatus, 0u);
    EXPECT_EQ(c.infoCl, 0x20u);
    EXPECT_EQ(c.probeSucceeds, 1u);
    EXPECT_EQ(c.busyPatternLength, 0u);
    EXPECT_EQ(c.wrongEchoForever, 0u);
}

TEST(Scenario, DurationIsTheLongestTraceOfAPresentSensor)
{
    struct Case {
        const char *sensors;
        uint32_t ms;
    };
    const Case cases[] = {
        {R"([{"index": 0, "temperature": 50}])", 0},
        {R"([{"index": 0, "temperature": [{"ms": 0, "celsius": 1}, {"ms": 4000, "celsius": 2}]},
             {"index": 1, "temperature": [{"ms": 0, "celsius": 1}, {"ms": 9000, "celsius": 2}]}])", 9000},
        {R"([{"index": 0, "temperature": [{"ms": 0, "celsius": 1}, {"ms": 4000, "celsius": 2}]},
             {"index": 1, "present": false, "temperature": [{"ms": 0, "celsius": 1}, {"ms": 9000, "celsius": 2}]}])", 4000},
    };
    for (const Case &c : cases) {
        SimConfig config;
        std::string error;
        ASSERT_TRUE(ktsensors::ParseScenario(std::string("{\"sensors\": ") + c.sensors + "}", &config, &error)) << error;
        EXPECT_EQ(ktsensors::ScenarioDurationMs(config), c.ms) << c.sensors;
    }
}

} // namespace

// ---- Monitoring formats ----------------------------------------------------------------------

namespace formats {

using ktsensors::Reading;
using ktsensors::SensorReading;

// One sensor with every call as given.
SensorReading Sensor(int ordinal, Call location, Call temperature, Call warning, Call critical, Call status)
{
    SensorReading s;
    s.ordinal = ordinal;
    s.location = location;
    s.temperature = temperature;
    s.warningLimit = warning;
    s.criticalLimit = critical;
    s.status = status;
    return s;
}

const Call kFailed{false, 0};

TEST(SensorsJson, FollowsTheSchemaOfSensorsMinusJAndLeavesOutFailedValues)
{
    Reading reading = FailingReading();
    nlohmann::ordered_json doc = nlohmann::ordered_json::parse(ktsensors::FormatSensorsJson(reading));
    nlohmann::ordered_json expected = nlohmann::ordered_json::parse(R"json({
      "kovaltherm-qorix": {
        "Adapter": "Kovaltherm.dll",
        "sensor 0 (location 9)": {"temp1_input": 255.0, "temp1_max": 128.0, "temp1_crit": 0.0,
                                  "temp1_max_alarm": 1.0, "temp1_crit_alarm": 0.0},
        "sensor 1 (location FAILED)": {"temp2_input": 7.0}
      }})json");
    EXPECT_EQ(doc, expected) << doc.dump();
    // The chip's first entry is its adapter, and values print with three decimals.
    EXPECT_EQ(doc["kovaltherm-qorix"].begin().key(), "Adapter");
    EXPECT_NE(ktsensors::FormatSensorsJson(reading).find("\"temp2_input\": 7.000"), std::string::npos);
}

TEST(SensorsJson, StatusBecomesTheAlarmsOrIsLeftOut)
{
    struct Case {
        Call status;
        int maxAlarm, critAlarm; // -1: left out
    };
    const Case cases[] = {
        {{true, 1}, 0, 0}, {{true, 2}, 1, 0}, {{true, 3}, 1, 1}, {{true, 0}, -1, -1}, {kFailed, -1, -1},
    };
    for (const Case &c : cases) {
        Reading reading;
        reading.sensorCount = 1;
        reading.sensors = {Sensor(0, {true, 2}, {true, 50}, {true, 90}, {true, 98}, c.status)};
        nlohmann::json feature = nlohmann::json::parse(ktsensors::FormatSensorsJson(reading))["kovaltherm-qorix"]["sensor 0 (location 2)"];
        if (c.maxAlarm < 0) {
            EXPECT_FALSE(feature.contains("temp1_max_alarm")) << feature.dump();
            EXPECT_FALSE(feature.contains("temp1_crit_alarm")) << feature.dump();
        } else {
            EXPECT_EQ(feature["temp1_max_alarm"], c.maxAlarm) << feature.dump();
            EXPECT_EQ(feature["temp1_crit_alarm"], c.critAlarm) << feature.dump();
        }
        EXPECT_EQ(feature["temp1_input"], 50);
    }
}

TEST(Prometheus, ParsesStrictlyWithGaugesFailuresAndTheTimeOfTheReading)
{
    Reading reading = FailingReading();
    reading.wallMs = 1700000000250;
    reading.lastSuccessWallMs = 1699999999005;
    reading.sensors.push_back(Sensor(2, {true, 1}, kFailed, {true, 75}, {true, 90}, kFailed));
    reading.sensorCount = 3;
    std::string text = ktsensors::FormatPrometheus(reading);
    tooltest::Exposition e;
    std::string error;
    ASSERT_TRUE(tooltest::ParseExposition(text, &e, &error)) << error << "\n" << text;
    for (const char *family : {"kovaltherm_up", "kovaltherm_last_success_timestamp_seconds", "kovaltherm_sensors",
                               "kovaltherm_temperature_celsius", "kovaltherm_warning_limit_celsius",
                               "kovaltherm_critical_limit_celsius", "kovaltherm_status", "kovaltherm_status_state",
                               "kovaltherm_read_failed", "kovaltherm_reading_timestamp_seconds"}) {
        EXPECT_EQ(e.types[family], "gauge") << family;
        EXPECT_FALSE(e.help[family].empty()) << family;
    }
    const std::map<std::string, double> expected = {
        {"kovaltherm_up", 1},
        {"kovaltherm_last_success_timestamp_seconds", 1699999999.005},
        {"kovaltherm_sensors", 3},
        {"kovaltherm_temperature_celsius{sensor=\"0\",location=\"9\"}", 255},
        {"kovaltherm_temperature_celsius{sensor=\"1\",location=\"\"}", 7},
        {"kovaltherm_warning_limit_celsius{sensor=\"0\",location=\"9\"}", 128},
        {"kovaltherm_warning_limit_celsius{sensor=\"2\",location=\"1\"}", 75},
        {"kovaltherm_critical_limit_celsius{sensor=\"0\",location=\"9\"}", 0},
        {"kovaltherm_critical_limit_celsius{sensor=\"2\",location=\"1\"}", 90},
        {"kovaltherm_status{sensor=\"0\",location=\"9\"}", 2},
        {"kovaltherm_status{sensor=\"1\",location=\"\"}", 0},
        {"kovaltherm_reading_timestamp_seconds", 1700000000.25},
        // The state set: sensor 0 warning, sensor 1 no status, sensor 2's status call failed.
        {"kovaltherm_status_state{sensor=\"0\",location=\"9\",state=\"normal\"}", 0},
        {"kovaltherm_status_state{sensor=\"0\",location=\"9\",state=\"warning\"}", 1},
        {"kovaltherm_status_state{sensor=\"0\",location=\"9\",state=\"critical\"}", 0},
        {"kovaltherm_status_state{sensor=\"0\",location=\"9\",state=\"none\"}", 0},
        {"kovaltherm_status_state{sensor=\"1\",location=\"\",state=\"normal\"}", 0},
        {"kovaltherm_status_state{sensor=\"1\",location=\"\",state=\"warning\"}", 0},
        {"kovaltherm_status_state{sensor=\"1\",location=\"\",state=\"critical\"}", 0},
        {"kovaltherm_status_state{sensor=\"1\",location=\"\",state=\"none\"}", 1},
    };
    size_t failedSeries = 0;
    for (const auto &[series, value] : e.samples) {
        if (series.rfind("kovaltherm_read_failed{", 0) == 0) {
            ++failedSeries;
            continue;
        }
        auto it = expected.find(series);
        ASSERT_NE(it, expected.end()) << "unexpected series " << series;
        EXPECT_DOUBLE_EQ(value, it->second) << series;
    }
    EXPECT_EQ(e.samples.size() - failedSeries, expected.size());
    // Five calls per sensor, each 1 when it failed: a failed value has no sample of its own.
    EXPECT_EQ(failedSeries, 15u);
    struct Failed { const char *series; double value; };
    const Failed failed[] = {
        {"kovaltherm_read_failed{sensor=\"0\",location=\"9\",call=\"LMReadTemperature\"}", 0},
        {"kovaltherm_read_failed{sensor=\"1\",location=\"\",call=\"LMGetSensorLocation\"}", 1},
        {"kovaltherm_read_failed{sensor=\"1\",location=\"\",call=\"LMReadWarningLimit\"}", 1},
        {"kovaltherm_read_failed{sensor=\"2\",location=\"1\",call=\"LMReadTemperature\"}", 1},
        {"kovaltherm_read_failed{sensor=\"2\",location=\"1\",call=\"LMReadTempStatus\"}", 1},
        {"kovaltherm_read_failed{sensor=\"2\",location=\"1\",call=\"LMReadWarningLimit\"}", 0},
    };
    for (const Failed &f : failed)
        EXPECT_EQ(e.samples.at(f.series), f.value) << f.series;

    // No count, and no library at all: kovaltherm_up 0, the last success carried.
    struct Down { bool loaded; std::map<std::string, double> samples; };
    const Down downs[] = {
        {true, {{"kovaltherm_up", 0}, {"kovaltherm_last_success_timestamp_seconds", 1699999999.005},
                {"kovaltherm_sensors", 0}, {"kovaltherm_read_failed{call=\"LMGetNumSensors\"}", 1},
                {"kovaltherm_reading_timestamp_seconds", 1700000000.25}}},
        {false, {{"kovaltherm_up", 0}, {"kovaltherm_last_success_timestamp_seconds", 1699999999.005},
                 {"kovaltherm_reading_timestamp_seconds", 1700000000.25}}},
    };
    for (const Down &down : downs) {
        Reading none;
        none.loaded = down.loaded;
        none.wallMs = 1700000000250;
        none.lastSuccessWallMs = 1699999999005;
        tooltest::Exposition empty;
        ASSERT_TRUE(tooltest::ParseExposition(ktsensors::FormatPrometheus(none), &empty, &error)) << error;
        EXPECT_EQ(empty.samples, down.samples) << "loaded " << down.loaded;
        EXPECT_EQ(empty.types.size(), 10u);
    }
}

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

TEST(Prometheus, TheParserRefusesWhatTheCollectorRefuses)
{
    const char *bad[] = {
        "m 1",                                              // no final newline
        "# TYPE m gauge\nm 1 1700000000\n",                 // a timestamp
        "m 1\n",                                            // no TYPE
        "# TYPE m gauge\nm{a=\"1\"} 1\nm{a=\"1\"} 2\n",     // a series twice
        "# TYPE m gauge\n# TYPE n gauge\nm 1\nn 1\nm{a=\"2\"} 1\n", // a family split
        "# TYPE m gauge\nm{a=1} 1\n",                       // an unquoted label value
        "# TYPE m gauge\nm one\n",                          // not a number
    };
    for (const char *text : bad) {
        tooltest::Exposition e;
        std::string error;
        EXPECT_FALSE(tooltest::ParseExposition(text, &e, &error)) << text;
    }
}

TEST(Readings, TimestampsAreRfc3339InUtc)
{
    const std::pair<int64_t, const char *> cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
        {951782400123, "2000-02-29T00:00:00.123Z"},
        {1700000000000, "2023-11-14T22:13:20.000Z"},
        {4102444799999, "2099-12-31T23:59:59.999Z"},
    };
    for (const auto &[ms, text] : cases)
        EXPECT_EQ(ktsensors::Rfc3339(ms), text) << ms;
    Reading reading = FailingReading();
    reading.wallMs = 1700000000000;
    EXPECT_EQ(nlohmann::json::parse(ktsensors::FormatJson(reading))["time"], "2023-11-14T22:13:20.000Z");
}

TEST(Readings, TextUsesTheDegreeSignInUtf8Locales)
{
    struct Case {
        const char *lcAll, *lcCtype, *lang;
        bool utf8;
    };
    const Case cases[] = {
        {nullptr, nullptr, "en_US.UTF-8", true}, {nullptr, nullptr, "C.utf8", true},
        {nullptr, "de_DE.UTF-8", "C", true},     {"C", nullptr, "en_US.UTF-8", false},
        {nullptr, nullptr, "POSIX", false},      {nullptr, nullptr, nullptr, false},
        {"", "", "en_GB.ISO-8859-1", false},
    };
    for (const Case &c : cases) {
        const std::pair<const char *, const char *> variables[] = {{"LC_ALL", c.lcAll}, {"LC_CTYPE", c.lcCtype}, {"LANG", c.lang}};
        for (const auto &[name, value] : variables)
            value ? setenv(name, value, 1) : unsetenv(name);
        EXPECT_EQ(ktsensors::Utf8Locale(), c.utf8) << (c.lcAll ? c.lcAll : "-") << " " << (c.lcCtype ? c.lcCtype : "-") << " " << (c.lang ? c.lang : "-");
    }
    EXPECT_EQ(ktsensors::FormatText(FailingReading(), true),
              "kovaltherm-qorix\n"
              "Adapter: Kovaltherm.dll\n"
              "sensor 0 (location 9):   +255.0 \xC2\xB0" "C  (warn = +128.0 \xC2\xB0" "C, crit = +0.0 \xC2\xB0" "C)  warning\n"
              "sensor 1 (location FAILED):   +7.0 \xC2\xB0" "C  (warn = FAILED, crit = FAILED)      no status\n");
}

} // namespace formats

namespace hostile {

TEST(Scenario, RefusesDeepNestingAndDuplicateNamesWithShortMessages)
{
    const std::string longText(5000, 'k');
    struct Case {
        std::string text;
        std::string message; // the whole message
    };
    const std::string notScenario = "not a scenario: a field at its top level other than description, sensors, "
                                    "firmware, controller and driver";
    const Case cases[] = {
        {std::string(100000, '[') + std::string(100000, ']'), "nested deeper than 16 levels"},
        {R"({"sensors": [], "description": {"a": [[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]}})", "nested deeper than 16 levels"},
        {R"({"sensors": [], "sensors": []})", "the name \"sensors\" appears twice in one object"},
        {R"({"sensors": [{"index": 0, "temperature": 1, "limits": {"warning_high": 1, "warning_high": 2}}]})",
         "the name \"warning_high\" appears twice in one object"},
        // Nothing of a file that is not a scenario is quoted: not its names, nor its text.
        {"{\"sensors\": [], \"" + longText + "\": 1}", notScenario},
        {R"({"db_password": "hunter2", "db_password": "hunter2"})", notScenario},
        {R"(["hunter2"])", "not a scenario: expected a JSON object"},
        {"db_password: hunter2", "not valid JSON: parse error at line 1, column 1: syntax error while parsing value - "
                                 "invalid literal"},
        {"{\"sensors\": [{\"index\": \"" + longText + "\"}]}",
         "sensors[0].index: expected an integer from 0 to 7, got \"" + std::string(76, 'k') + "..."},
        {"{\"sensors\": " + longText + "}",
         "not valid JSON: parse error at line 1, column 13: syntax error while parsing value - invalid literal"},
        {"{\"sensors\": [], \"description\": \"" + longText + "\n\"}",
         "not valid JSON: parse error at line 2, column 0: syntax error while parsing value - invalid string: "
         "control character U+000A (LF) must be escaped to \\u000A or \\n"},
    };
    for (const Case &c : cases) {
        SimConfig config;
        std::string error;
        EXPECT_FALSE(ktsensors::ParseScenario(c.text, &config, &error));
        EXPECT_EQ(error, c.message) << c.text.substr(0, 60);
    }
    // Nesting up to the limit is fine: 16 levels.
    SimConfig config;
    std::string error;
    EXPECT_TRUE(ktsensors::ParseScenario(R"({"sensors": [], "description": "x"})", &config, &error)) << error;
    std::string fifteen = "{\"sensors\": [], \"firmware\": {}, \"controller\": {}}";
    EXPECT_TRUE(ktsensors::ParseScenario(fifteen, &config, &error)) << error;
}

TEST(Options, ExcerptsQuoteAtMostTheLimitAndNoControlCharacters)
{
    struct Case {
        std::string text;
        size_t limit;
        std::string excerpt;
    };
    const Case cases[] = {
        {"short", 80, "short"},
        {std::string(80, 'a'), 80, std::string(80, 'a')},
        {std::string(81, 'a'), 80, std::string(77, 'a') + "..."},
        {"line\nbreak\ttab\x7f", 80, "line?break?tab?"},
        // A cut never splits a UTF-8 sequence: "°" is two bytes.
        {"abcd\xC2\xB0xyz", 8, "abcd..."},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ktsensors::Excerpt(c.text, c.limit), c.excerpt) << c.text;
}

} // namespace hostile
