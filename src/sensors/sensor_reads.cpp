// Sensor reads: temperature and location.
#include "sensors/sensor_reads.h"

#include "hw/controller.h"
#include "hw/wait.h"
#include "kovaltherm.h"

namespace {

// Location codes by physical sensor index; any other index has code 0.
const int LOCATION_CODES[PHYSICAL_SENSOR_COUNT] = {2, 4, 5, 1, 6, 7, 8, 9};
const int NO_LOCATION_CODE = 0;

} // namespace

int ReadSensorTemperature(int ordinal, SensorKey *sensor, BlockReads *reads,
                          CacheOutcome *outcome)
{
    BYTE block[CONTROLLER_ANSWER_LENGTH] = {0};
    WORD result = ReadControllerBlock(TEMPERATURE_COMMAND, block, reads);
    for (int retry = 0; result == BLOCK_NO_ANSWER && retry < TEMPERATURE_RETRY_LIMIT; ++retry) {
        WaitMilliseconds(BLOCK_RETRY_WAIT_MS);
        result = ReadControllerBlock(TEMPERATURE_COMMAND, block, reads);
    }
    if (result != BLOCK_ANSWERED)
        return KOVALTHERM_NO_TEMPERATURE;
    // The block is read before the mapping is looked up. Byte i + 1 carries physical sensor
    // i; sensors 7 and 8 have no byte and read as none.
    SensorKey key;
    int index = OpenMappedSensor(ordinal, &key, outcome);
    if (index == READ_FAILED)
        return KOVALTHERM_NO_TEMPERATURE;
    int t = index + 1 < CONTROLLER_ANSWER_LENGTH ? block[index + 1] : KOVALTHERM_NO_TEMPERATURE;
    if (sensor && t != KOVALTHERM_NO_TEMPERATURE)
        *sensor = key;
    else
        CloseSensorKey(&key);
    return t;
}

int ReadSensorLocation(int ordinal, CacheOutcome *outcome)
{
    int index = OrdinalToIndex(ordinal, outcome);
    if (index == READ_FAILED)
        return READ_FAILED;
    return index < PHYSICAL_SENSOR_COUNT ? LOCATION_CODES[index] : NO_LOCATION_CODE;
}
