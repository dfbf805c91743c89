// The sensor configuration on Linux: the file in /etc, and no Group Policy.
#include "sensor_config.h"

namespace ktsensors {

bool ReadSensorPolicy(std::vector<PolicyKey> *keys, std::string *)
{
    keys->clear();
    return true;
}

std::string DefaultSensorConfigPath() { return "/etc/kovaltherm/sensors.conf"; }

FileRead ReadSensorConfigFile(const std::string &path, bool, std::string *text, std::string *error)
{
    return ReadSmallFile(path, kMaxConfigFileBytes, kConfigFileKind, text, error);
}

} // namespace ktsensors
