// ktsensors' formats where the end-to-end runs do not reach: REGEDIT4 text for every value
// type, the text and JSON of readings with failed calls, and how scenario fields land in the
// simulated notebook's record.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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
