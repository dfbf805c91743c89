// One reading through the library's seven exports, as the monitor's worker takes it: no
// window and no thread of its own, so that it runs against the host library in tests.
#ifndef KOVALTHERM_MONITOR_READING_H
#define KOVALTHERM_MONITOR_READING_H

#include <functional>
#include <vector>

#include "exports.h"
#include "model.h"

namespace monitor {

// What the worker keeps between readings: each sensor's location and limits, and the owner's
// alarms.
struct ReadingState {
    std::vector<SensorReading> known;
    unsigned readings = 0;
    bool refresh = true; // read every sensor's limits at the next reading
    ktsensors::OwnerStates owner;
};

// The count, then per sensor its location, temperature and status (the status only after a
// temperature: without one it is "no status", and asking would wait on the controller again).
// A sensor's limits are read when its location changed, after a failed call, when the count
// changed, and every so many readings. No more sensors are read than the library can map to
// physical sensors, whatever count a damaged cache holds. When a call fails and the library
// then reports another count, the sensor set changed under the reading: it starts again, once.
// The owner's `config` applies from each sensor's location on: a sensor it ignores is left out
// (no further call is made for it), the others get their labels, the owner's thresholds and
// the owner's state.
// `stopped` is asked before each sensor; a reading it cut short is incomplete, for the caller
// to drop. The reading's time and the configuration's problem are the caller's to set.
Reading TakeReading(const ktsensors::Exports &exports, const ktsensors::SensorConfig &config, ReadingState *state,
                    const std::function<bool()> &stopped);

} // namespace monitor

#endif
