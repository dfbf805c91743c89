// Zabbix's forms of a reading: the discovery list and the master item's document, for a
// whole reading, failed calls, and a library that gave no sensors.
#include <gtest/gtest.h>

#include "format_zabbix.h"
#include "tests/support/sensor_readings.h"

namespace {

using ktsensors::Call;
using ktsensors::Reading;
using ktsensors::SensorReading;

using testsupport::kFailed;
using testsupport::Sensor;
Call Ok(int value) { return Call{true, value}; }

Reading Notebook(bool loaded, int count, std::vector<SensorReading> sensors)
{
    Reading reading;
    reading.loaded = loaded;
    reading.sensorCount = count;
    reading.sensors = std::move(sensors);
    return reading;
}

struct ZabbixCase {
    const char *name;
    Reading reading;
    const char *discovery;
    const char *document;
};

TEST(FormatZabbix, DiscoveryAndMasterDocument)
{
    // examples/steady.json: physical sensors 0, 1 and 3, so locations 2, 4 and 1.
    const ZabbixCase cases[] = {
        {"steady notebook",
         Notebook(true, 3, {Sensor(0, Ok(2), Ok(52), Ok(90), Ok(98), Ok(1)), Sensor(1, Ok(4), Ok(41), Ok(65), Ok(75), Ok(1)),
                            Sensor(2, Ok(1), Ok(47), Ok(75), Ok(90), Ok(1))}),
         "[{\"{#SENSOR}\":\"0\",\"{#LOCATION}\":\"2\"},{\"{#SENSOR}\":\"1\",\"{#LOCATION}\":\"4\"},"
         "{\"{#SENSOR}\":\"2\",\"{#LOCATION}\":\"1\"}]\n",
         "{\"up\":1,\"sensor_count\":3,\"sensors\":{"
         "\"0\":{\"location\":2,\"temperature\":52,\"warning_limit\":90,\"critical_limit\":98,\"status\":1,\"failed\":0},"
         "\"1\":{\"location\":4,\"temperature\":41,\"warning_limit\":65,\"critical_limit\":75,\"status\":1,\"failed\":0},"
         "\"2\":{\"location\":1,\"temperature\":47,\"warning_limit\":75,\"critical_limit\":90,\"status\":1,\"failed\":0}}}\n"},
        // A stuck controller: no temperature, and the status call answers "no status".
        {"unreadable temperature",
         Notebook(true, 1, {Sensor(0, Ok(2), kFailed, Ok(90), Ok(98), Ok(0))}),
         "[{\"{#SENSOR}\":\"0\",\"{#LOCATION}\":\"2\"}]\n",
         "{\"up\":1,\"sensor_count\":1,\"sensors\":{\"0\":{\"location\":2,\"warning_limit\":90,\"critical_limit\":98,"
         "\"status\":0,\"failed\":1}}}\n"},
        {"unreadable location and limits",
         Notebook(true, 1, {Sensor(0, kFailed, Ok(39), kFailed, kFailed, Ok(0))}),
         "[{\"{#SENSOR}\":\"0\",\"{#LOCATION}\":\"\"}]\n",
         "{\"up\":1,\"sensor_count\":1,\"sensors\":{\"0\":{\"temperature\":39,\"status\":0,\"failed\":3}}}\n"},
        {"library not loaded", Notebook(false, 0, {}), "", "{\"up\":0,\"sensor_count\":0,\"sensors\":{}}\n"},
        {"no sensor count", Notebook(true, 0, {}), "", "{\"up\":0,\"sensor_count\":0,\"sensors\":{}}\n"},
    };
    for (const ZabbixCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ktsensors::FormatZabbixDiscovery(c.reading), c.discovery);
        EXPECT_EQ(ktsensors::FormatZabbix(c.reading), c.document);
    }
}

} // namespace
