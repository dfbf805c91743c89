// The sensor cache as a run left it: whether it fits the notebook the run simulated, and the
// status thresholds it holds for the plot.
#ifndef KTSENSORS_CACHE_CHECK_H
#define KTSENSORS_CACHE_CHECK_H

#include <string>
#include <vector>

#include "backend.h"
#include "options.h"
#include "plot.h"

namespace ktsensors {

// Whether the sensor cache describes the notebook the run simulated. Call once the library
// has stopped: reads the cache into `*cache` (left empty when there is none) and returns ""
// when it fits, when there is no cache, or when the platform does not know the notebook;
// otherwise why not, naming --reset-cache.
std::string CacheMisfit(Backend &backend, const Options &options, RegKey *cache);

// The status thresholds of each ordinal's sensor, from the cache.
std::vector<StatusThresholds> ThresholdsFromCache(const RegKey &cache);

} // namespace ktsensors

#endif
