// Sensor readings of the client's model written in one line, for the tests of what is made of
// them (formats, --check).
#pragma once

#include "readings.h"

namespace testsupport {

// A call that failed.
const ktsensors::Call kFailed{false, 0};

// One sensor with every call as given.
inline ktsensors::SensorReading Sensor(int ordinal, ktsensors::Call location, ktsensors::Call temperature,
                                       ktsensors::Call warning, ktsensors::Call critical, ktsensors::Call status)
{
    ktsensors::SensorReading s;
    s.ordinal = ordinal;
    s.location = location;
    s.temperature = temperature;
    s.warningLimit = warning;
    s.criticalLimit = critical;
    s.status = status;
    return s;
}

} // namespace testsupport
