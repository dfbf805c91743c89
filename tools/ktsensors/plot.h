// Temperature over time as SVG: one panel per sensor with its warning and critical limits and
// the status the library reported, call by call, as coloured bands.
#ifndef KTSENSORS_PLOT_H
#define KTSENSORS_PLOT_H

#include <string>
#include <vector>

#include "readings.h"

namespace ktsensors {

// Draws the readings as an SVG document; `title` heads the drawing.
std::string PlotSvg(const std::vector<Reading> &readings, const std::string &title);

} // namespace ktsensors

#endif
