// The sensor configuration on Linux: the file in /etc, and no Group Policy.
#include "sensor_config.h"

namespace ktsensors {

bool ReadSensorPolicy(std::vector<PolicyKey> *keys, std::string *)
{
    keys->clear();
    return true;
}

std::string DefaultSensorConfigPath() { return "/etc/kovaltherm/sensors.conf"; }

} // namespace ktsensors
