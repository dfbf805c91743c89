// ktsensors' formats where the end-to-end runs do not reach: the text, JSON, sensors -j and
// Prometheus forms of readings with failed calls.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "formats.h"
#include "prometheus_parser.h"
#include "readings.h"
#include "tests/support/sensor_readings.h"

namespace {

using ktsensors::Call;

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

using ktsensors::Reading;
using ktsensors::SensorReading;
using testsupport::kFailed;
using testsupport::Sensor;

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

} // namespace
