// Scenario files: how their fields land in the simulated notebook's record, the defaults, a
// scenario's duration, and the short messages for hostile ones; the excerpts messages quote.
#include <gtest/gtest.h>

#include <string>

#include "excerpt.h"
#include "scenario.h"

namespace {

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

} // namespace
