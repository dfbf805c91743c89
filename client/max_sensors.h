// The most sensors a program reads, holds or draws for one reading.
#ifndef KTSENSORS_MAX_SENSORS_H
#define KTSENSORS_MAX_SENSORS_H

#include "base/cache_layout.h"

namespace ktsensors {

// The library maps ordinals through nine sensor keys, and no ordinal past them is ever a
// sensor. A larger count comes from a damaged or tampered cache.
const int kMaxSensors = MAPPED_INDEX_LIMIT;

} // namespace ktsensors

#endif
