// A reading in Zabbix's forms: low-level discovery of the sensors, and one document per
// reading for a master item whose dependent items take their values with JSONPath.
#ifndef KTSENSORS_FORMAT_ZABBIX_H
#define KTSENSORS_FORMAT_ZABBIX_H

#include <string>

#include "readings.h"

namespace ktsensors {

// The sensors for a discovery rule, as a JSON array Zabbix 4.2 and later take:
// [{"{#SENSOR}":"0","{#LOCATION}":"2","{#LABEL}":"CPU"},...], the location empty when its
// call failed, the label ZabbixLabel's; one line. Ignored sensors are left out. Empty when the library was not loaded or gave no sensor count: a rule that gets no
// JSON fails and Zabbix keeps the items it discovered, where an empty list would lose them.
std::string FormatZabbixDiscovery(const Reading &reading);

// The reading for a master item, one line: {"up":1,"sensor_count":3,"sensors":{"0":
// {"location":2,"temperature":55,"warning_limit":90,"critical_limit":98,"status":1,
// "failed":0},...}}, keyed by ordinal so that a dependent item's path is
// $.sensors["0"].temperature. A value whose call failed is left out, so that its item's path
// finds nothing and the item becomes unsupported; "failed" counts those calls. A sensor with
// the owner's thresholds adds "owner_warning", "owner_critical" (where set) and
// "owner_state" (0 none, 1 normal, 2 warning, 3 critical). "up" is 1
// when the library loaded and gave the sensor count, as kovaltherm_up.
std::string FormatZabbix(const Reading &reading);

// The sensor's {#LABEL}: the owner's label, or "location N" without one, so that item names
// built on it always name the sensor.
std::string ZabbixLabel(const SensorReading &s);

} // namespace ktsensors

#endif
