// A reading through the export table.
#include "reading.h"

#include <algorithm>

#include "max_sensors.h"

namespace monitor {

namespace {

// Limits change only with the cache: besides the reasons above, they are read again every this
// many readings.
const unsigned kLimitRefreshReadings = 30;

// Calls one query; true with its out-value when it returned 1.
bool Ask(int(KOVALTHERM_CDECL *query)(int, int *), int ordinal, int *value)
{
    int out = 0;
    if (query(ordinal, &out) != 1)
        return false;
    *value = out;
    return true;
}

} // namespace

Reading TakeReading(const ktsensors::Exports &exports, const ktsensors::SensorConfig &config, ReadingState *state,
                    const std::function<bool()> &stopped)
{
    for (bool again = true;; again = false) {
        Reading reading;
        int count = exports.GetNumSensors();
        if (count <= 0) {
            reading.problem = Problem::NoSensors;
            state->refresh = true;
            return reading;
        }
        size_t sensors = std::min<size_t>((size_t)count, ktsensors::kMaxSensors);
        if (state->known.size() != sensors || state->readings % kLimitRefreshReadings == 0)
            state->refresh = true;
        bool refresh = state->refresh, changed = false;
        state->refresh = false;
        state->known.resize(sensors);
        ++state->readings;
        for (int i = 0; i < (int)sensors && !changed && !stopped(); ++i) {
            SensorReading &known = state->known[i];
            SensorReading sensor;
            sensor.ordinal = i;
            sensor.haveLocation = Ask(exports.GetSensorLocation, i, &sensor.location);
            const ktsensors::SensorSettings *settings = sensor.haveLocation ? config.Find(sensor.location) : nullptr;
            if (settings && settings->ignore) {
                // Forgotten, so that its limits are read once it is no longer ignored.
                known = SensorReading();
                ++reading.ignored;
                continue;
            }
            if (refresh || sensor.haveLocation != known.haveLocation || sensor.location != known.location) {
                known.haveWarning = Ask(exports.ReadWarningLimit, i, &known.warningLimit);
                known.haveCritical = Ask(exports.ReadCriticalLimit, i, &known.criticalLimit);
            }
            known.ordinal = i;
            known.haveLocation = sensor.haveLocation;
            known.location = sensor.location;
            sensor = known;
            sensor.haveTemperature = Ask(exports.ReadTemperature, i, &sensor.temperature);
            if (sensor.haveTemperature)
                sensor.haveStatus = Ask(exports.ReadTempStatus, i, &sensor.status);
            if (!sensor.haveTemperature || !sensor.haveStatus || !known.haveLocation || !known.haveWarning ||
                !known.haveCritical) {
                // A failed call rebuilt the cache: the limits are read again, and a new count
                // means the sensors read so far may be another set's.
                state->refresh = true;
                changed = again && exports.GetNumSensors() != count;
            }
            if (settings) {
                sensor.label = settings->label;
                sensor.ownerWarning = settings->warning;
                sensor.ownerCritical = settings->critical;
                sensor.ownerState = state->owner.Update(*settings, sensor.haveTemperature, sensor.temperature);
            }
            reading.sensors.push_back(sensor);
        }
        if (!changed)
            return reading;
    }
}

} // namespace monitor
