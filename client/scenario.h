// Scenario files: a simulated notebook described in JSON, turned into the notebook's record.
#ifndef KTSENSORS_SCENARIO_H
#define KTSENSORS_SCENARIO_H

#include <stdint.h>

#include <string>

#include "sim/notebook.h"

namespace ktsensors {

// Parses scenario text into `config`. Returns false with a message naming the offending field
// (for example "sensors[1].limits.warning_high: expected an integer from 0 to 255").
bool ParseScenario(const std::string &text, SimConfig *config, std::string *error);

// Reads and parses a scenario file; false with "FILE: message".
bool LoadScenarioFile(const std::string &path, SimConfig *config, std::string *error);

// Milliseconds until the last point of the longest temperature trace of a present sensor;
// 0 when every present sensor's temperature is constant.
uint32_t ScenarioDurationMs(const SimConfig &config);

} // namespace ktsensors

#endif
