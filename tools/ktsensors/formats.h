// The formats a reading is written in. One table serves --format, --output and the pages
// --listen serves on both servers: a new format is one row and one renderer.
#ifndef KTSENSORS_FORMATS_H
#define KTSENSORS_FORMATS_H

#include <stdint.h>

#include <string>

#include "readings.h"

namespace ktsensors {

// How a document is laid out where it goes.
struct RenderOptions {
    bool first = true;       // the first document written to its stream
    bool oneLine = false;    // documents follow one another on one stream: one line each
    bool degreeSign = false; // text may write "°C" for "C"
};

// One format: its --format name and what --help says of it, its content type, the path
// --listen serves it at ("" for none), whether its document for a library that did not load
// tells a collector so (such a document replaces --output when a run cannot start), and its
// renderer.
struct Format {
    const char *name;
    const char *help;
    const char *contentType;
    const char *path;
    bool reportsUnloaded;
    std::string (*render)(const Reading &reading, const RenderOptions &options);
};

// Every format, the default (text) first; kFormatCount of them.
extern const Format kFormats[];
extern const size_t kFormatCount;

// The format named `name`, or null.
const Format *FindFormat(const std::string &name);

// The format served at `path`, or null.
const Format *FormatAtPath(const std::string &path);

// The reading in the manner of lm-sensors' `sensors`; `degreeSign` writes "°C" for "C". The
// limits on a sensor's line are the library's (the firmware's); the owner's, where set,
// follow on a line "owner's limits:" with the owner's state.
std::string FormatText(const Reading &reading, bool degreeSign = false);

// The reading as one JSON document on one line.
std::string FormatJson(const Reading &reading);

// The reading in the schema of lm-sensors' `sensors -j`: the chip, its adapter, then one
// feature per sensor with temp<N>_input, _max (warning limit), _crit and the alarms; a value
// whose call failed is left out. Laid out as sensors -j does, or on one line.
std::string FormatSensorsJson(const Reading &reading, bool oneLine = false);

// The reading in Prometheus' text exposition format, as node_exporter's and windows_exporter's
// textfile collectors read it: the health of the reading (kovaltherm_up, the last success),
// gauges labelled by sensor, location and the owner's label ("" without one), the status
// also as a state set, the owner's thresholds and state where set, whether the sensor
// configuration was taken, failed calls, and the reading's time. ASCII only but for owners'
// labels (UTF-8), LF line ends, newline-terminated, no sample timestamps.
std::string FormatPrometheus(const Reading &reading);

// `wallMs` (milliseconds since 1970, UTC) in RFC 3339: "2026-12-08T07:12:28.123Z".
std::string Rfc3339(int64_t wallMs);

// Whether the locale in LC_ALL, LC_CTYPE or LANG (the first one set) uses UTF-8.
bool Utf8Locale();

} // namespace ktsensors

#endif
