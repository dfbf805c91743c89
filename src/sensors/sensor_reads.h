// Sensor reads where the controller and the cache meet: the temperature (the controller's
// answer block first, then the ordinal mapping) and the location.
//
// Return conventions: readers return the value read or their sentinel,
// KOVALTHERM_NO_TEMPERATURE or READ_FAILED, and add to the caller's records what they went
// through.
#ifndef KOVALTHERM_SENSOR_READS_H
#define KOVALTHERM_SENSOR_READS_H

#include "cache/store.h"

enum {
    TEMPERATURE_COMMAND = 5,
    TEMPERATURE_RETRY_LIMIT = 1, // block reads repeated after the first fails
    BLOCK_RETRY_WAIT_MS = 1357,
};

// Returns the temperature (0-255) of the sensor with this ordinal, or
// KOVALTHERM_NO_TEMPERATURE. With a temperature and a non-null `sensor`, the sensor's key is
// left open there for the caller's reads, and the caller closes it.
int ReadSensorTemperature(int ordinal, SensorKey *sensor, BlockReads *reads,
                          CacheOutcome *outcome);

// Returns the location code of the sensor with this ordinal, or READ_FAILED when the ordinal
// maps to no present sensor.
int ReadSensorLocation(int ordinal, CacheOutcome *outcome);

#endif
