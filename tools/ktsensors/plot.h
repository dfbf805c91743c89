// Temperature over time as SVG: one panel per sensor with its warning and critical limits and
// the status the library reported, call by call, as coloured bands.
#ifndef KTSENSORS_PLOT_H
#define KTSENSORS_PLOT_H

#include <string>
#include <vector>

#include "readings.h"

namespace ktsensors {

// A sensor's limits as the sensor cache holds them: the status changes at temperatures
// derived from them.
struct StatusThresholds {
    bool known = false;
    int warningHigh = 0, warningNormal = 0, criticalHigh = 0;
};

// Draws the readings as an SVG document; `title` heads the drawing. `thresholds`, by ordinal,
// adds the temperatures at which the status changes, where known.
std::string PlotSvg(const std::vector<Reading> &readings, const std::string &title,
                    const std::vector<StatusThresholds> &thresholds = {});

} // namespace ktsensors

#endif
