// The monitor's logic that needs no window, so that it builds and is tested on any machine:
// what a reading says, the icon's face, the tooltip, the notifications from one reading to
// the next, the history behind the chart and the chart's temperature scale.
#ifndef KOVALTHERM_MONITOR_MODEL_H
#define KOVALTHERM_MONITOR_MODEL_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "kovaltherm.h"
#include "palette.h"

namespace monitor {

// The colours of --plot (the status bands and the lines), and the icon's text on them.
using ktsensors::kBandOpacity;
using ktsensors::kCriticalLimitColour;
using ktsensors::kFailedColour;
using ktsensors::kNoStatusColour;
using ktsensors::kTemperatureColour;
using ktsensors::kWarningLimitColour;
using ktsensors::StatusColour;
const uint32_t kDarkTextColour = 0x212121;
const uint32_t kLightTextColour = 0xffffff;

// The chart's span, and how many characters the notification area takes for a tooltip,
// a notification's title and its text (each without the terminating null).
const uint64_t kHistorySpanMs = 10 * 60 * 1000;
const size_t kTooltipChars = 127;
const size_t kNoticeTitleChars = 63;
const size_t kNoticeTextChars = 255;

// Temperatures and limits the library reports are the controller's and the firmware's
// unsigned bytes: 0 to this. Anything else comes from a damaged cache and is neither charted
// nor named as a limit.
const int kHighestCelsius = 255;

// One sensor in one reading: each value with whether its call succeeded.
struct SensorReading {
    int ordinal = 0;
    bool haveLocation = false;
    int location = 0;
    bool haveTemperature = false;
    int temperature = 0;
    bool haveWarning = false;
    int warningLimit = 0;
    bool haveCritical = false;
    int criticalLimit = 0;
    bool haveStatus = false;
    int status = KOVALTHERM_STATUS_NONE;
};

// Why a reading has no sensors: none is missing, the library did not load, or it reported
// no sensor (no thermal support, an unreadable cache, or its calls were busy).
enum class Problem { None, NotLoaded, NoSensors };

struct Reading {
    uint64_t timeMs = 0;
    Problem problem = Problem::None;
    std::wstring detail; // with NotLoaded: why, in one line
    std::vector<SensorReading> sensors;
};

// The status a sensor shows: its status call's answer, else no status.
int ShownStatus(const SensorReading &sensor);

// Whether a temperature or limit is one the library can report.
bool Plausible(int celsius);

// How bad a status is: normal < no status < warning < critical.
int Severity(int status);

// `colour` at `opacity` over `background`.
uint32_t Blend(uint32_t colour, uint32_t background, double opacity);

// True when the reading lacks something: the library, every sensor, or a temperature.
bool Failed(const Reading &reading);

// What a failed reading lacks, in one sentence ("No temperature from sensor 0, sensor 1.").
std::wstring WhatFailed(const Reading &reading);

// The icon: up to three characters on a background, in a text colour that reads on it.
struct IconFace {
    std::wstring text;
    uint32_t background;
    uint32_t foreground;
};

// The hottest readable temperature on the worst status's colour; "!" on the failed colour
// when no temperature was read; an ellipsis on the no-status colour while a reading is awaited
// (null: before the first, or when the latest is too old to show).
IconFace FaceFor(const Reading *reading);

// One line per sensor ("sensor 0 (location 2) 55 °C normal"), shortened to `limit`
// characters: without the locations, then "#0" for "sensor 0", then the hottest sensors and
// "+K more". Null: without a current reading.
std::wstring TooltipFor(const Reading *reading, size_t limit = kTooltipChars);

enum class NoticeKind { Info, Warning, Error };

struct Notice {
    NoticeKind kind = NoticeKind::Info;
    std::wstring title;
    std::wstring text;
};

// The notification due when `current` follows `previous` (null before the first reading,
// which counts as every sensor normal): a sensor became warning or critical, readings
// started failing, or they recovered; its last line says what to do. False when none is due.
bool NoticeFor(const Reading *previous, const Reading &current, Notice *notice);

// The line the window shows above the charts: that the first reading is awaited, why readings
// fail, or, when the latest reading is `overdue` (none for longer than `overdueMs`), that one is
// awaited; empty while readings are current and complete.
std::wstring ReadingsLine(const Reading *latest, bool overdue, uint64_t overdueMs);

// One sensor at one reading, as the chart draws it.
struct HistoryPoint {
    uint64_t timeMs = 0;
    bool haveTemperature = false;
    int temperature = 0;
    bool failed = false; // no temperature or no status: drawn in the failed colour
    int status = KOVALTHERM_STATUS_NONE;
    bool haveWarning = false;
    int warningLimit = 0;
    bool haveCritical = false;
    int criticalLimit = 0;
};

// The last `capacity` points of one sensor, oldest first.
struct SensorHistory {
    std::vector<HistoryPoint> ring;
    size_t first = 0, count = 0;
    bool haveLocation = false;
    int location = 0;
};

struct History {
    size_t capacity = 0;
    std::vector<SensorHistory> sensors; // by ordinal
};

// A history that keeps `span` of readings taken every `interval`.
History MakeHistory(uint64_t spanMs, uint64_t intervalMs);

// Adds a reading: a point per sensor it has (up to the sensors the library can map); one in
// the failed colour for every known sensor when it has none.
void Record(History *history, const Reading &reading);

// The points of one sensor taken after `fromMs`, oldest first.
std::vector<HistoryPoint> PointsSince(const SensorHistory &sensor, uint64_t fromMs);

// The temperature axis: from `low` to `high` in ticks of `step` degrees.
struct Scale {
    int low, high, step;
};

// An axis over every plausible temperature and limit among the points with 5 degrees to spare, ending
// on ticks of 1, 2, 5, 10, 20 or 50 degrees, at most 6 of them, never below 0; 0 to 100 in
// steps of 20 with nothing to show.
Scale ScaleFor(const std::vector<HistoryPoint> &points);

} // namespace monitor

#endif
