// The monitor's logic that needs no window, so that it builds and is tested on any machine:
// what a reading says, the icon's face, the tooltip, the notifications from one reading to
// the next, the history behind the chart and the chart's temperature scale, each with the
// owner's sensor configuration applied (labels, ignored sensors, the owner's state).
#ifndef KOVALTHERM_MONITOR_MODEL_H
#define KOVALTHERM_MONITOR_MODEL_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "kovaltherm.h"
#include "palette.h"
#include "sensor_config.h"

namespace monitor {

// The colours of --plot (the status bands and the lines), and the icon's text on them.
using ktsensors::kBandOpacity;
using ktsensors::kCriticalLimitColour;
using ktsensors::kFailedColour;
using ktsensors::kNoStatusColour;
using ktsensors::kStatusChangeColour;
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
    // From the owner's sensor configuration: the label (UTF-8, "" for none), the owner's
    // thresholds (kNoThreshold for none) and, where one is set, the owner's state
    // (ktsensors::OwnerState, numbered as the library's statuses) at this reading.
    std::string label;
    int ownerWarning = ktsensors::kNoThreshold, ownerCritical = ktsensors::kNoThreshold;
    int ownerState = ktsensors::kOwnerNone;
};

// The sensor configuration a reading was taken with: what applied, and its two parts, the
// machine's file and the Group Policy (the settings window shows and changes them).
struct ConfigInUse {
    ktsensors::SensorConfig current, file, policy;
};

// Why a reading has no sensors: none is missing, the library did not load, or it reported
// no sensor (no thermal support, an unreadable cache, or its calls were busy).
enum class Problem { None, NotLoaded, NoSensors };

struct Reading {
    uint64_t timeMs = 0;
    Problem problem = Problem::None;
    std::wstring detail; // with NotLoaded: why, in one line
    std::vector<SensorReading> sensors; // but for those the owner's configuration ignores
    int ignored = 0;                    // sensors left out as the owner's configuration says
    // Why the sensor configuration read before this reading was not taken, saying what stays in
    // effect (SensorConfigSource::Problem); "" when it was.
    std::wstring configProblem;
    std::shared_ptr<const ConfigInUse> config; // null in a reading made without one
};

// A UTF-8 text (a label) in UTF-16.
std::wstring FromUtf8(const std::string &text);

// How the monitor names a sensor: "sensor 0 (location 2, CPU)", without a label
// "sensor 0 (location 2)", without a location "sensor 0" (or "sensor 0 (CPU)").
std::wstring SensorTitle(int ordinal, bool haveLocation, int location, const std::string &label);

// The status a sensor shows: its status call's answer, else no status.
int ShownStatus(const SensorReading &sensor);

// Whether the sensor is judged by the owner's limits: the owner set a threshold for it and its
// temperature was read.
bool ByOwnersLimits(const SensorReading &sensor);

// The status the icon and the notifications follow: the owner's state where the sensor is
// judged by the owner's limits, else the library's (ShownStatus).
int JudgedStatus(const SensorReading &sensor);

// Whether a temperature or limit is one the library can report.
bool Plausible(int celsius);

// How bad a status is: normal < no status < warning < critical.
int Severity(int status);

// `colour` at `opacity` over `background`.
uint32_t Blend(uint32_t colour, uint32_t background, double opacity);

// True when the reading lacks something: the library, every sensor, or a temperature. A
// reading whose every sensor the owner's configuration ignores lacks nothing.
bool Failed(const Reading &reading);

// What a failed reading lacks, in one sentence ("No temperature from sensor 0, sensor 1.").
std::wstring WhatFailed(const Reading &reading);

// The icon: up to three characters on a background, in a text colour that reads on it.
struct IconFace {
    std::wstring text;
    uint32_t background;
    uint32_t foreground;
};

// The hottest readable temperature on the worst judged status's colour; "!" on the failed
// colour when no temperature was read; an ellipsis on the no-status colour while a reading is
// awaited (null: before the first, or when the latest is too old to show); a dash on the
// no-status colour when the owner's configuration ignores every sensor.
IconFace FaceFor(const Reading *reading);

// One line per sensor ("sensor 0 (location 2, CPU) 55 °C normal", "... 41 °C warning by the
// owner's limits"), shortened to `limit` characters: without the locations, then "#0" for
// "sensor 0" (a label for itself), then the hottest sensors and "+K more"; a last line when the
// sensor configuration is not valid. Null: without a current reading.
std::wstring TooltipFor(const Reading *reading, size_t limit = kTooltipChars);

// The menu's line on which limits the icon's colour follows: the firmware's, the owner's, or
// the owner's for the sensors named and the firmware's for the rest.
std::wstring IconLimitsLine(const Reading *reading);

enum class NoticeKind { Info, Warning, Error };

struct Notice {
    NoticeKind kind = NoticeKind::Info;
    std::wstring title;
    std::wstring text;
};

// The notification due when `current` follows `previous` (null before the first reading,
// which counts as every sensor normal and the configuration valid): a sensor's judged status
// became warning or critical, readings started failing, or they recovered, the sensor
// configuration became not valid or valid again; its last line says what to do. False when
// none is due.
bool NoticeFor(const Reading *previous, const Reading &current, Notice *notice);

// The line the window shows above the charts: that the first reading is awaited, why readings
// fail, or, when the latest reading is `overdue` (none for longer than `overdueMs`), that one is
// awaited; empty while readings are current and complete.
std::wstring ReadingsLine(const Reading *latest, bool overdue, uint64_t overdueMs);

// The window's line on the sensor configuration: why it is not valid; empty while it is.
std::wstring ConfigLine(const Reading *latest);

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
    int ownerWarning = ktsensors::kNoThreshold, ownerCritical = ktsensors::kNoThreshold;
    int ownerState = ktsensors::kOwnerNone;
};

// The last `capacity` points of one sensor, oldest first.
struct SensorHistory {
    std::vector<HistoryPoint> ring;
    size_t first = 0, count = 0;
    bool haveLocation = false;
    int location = 0;
    std::string label;
};

struct History {
    size_t capacity = 0;
    std::vector<SensorHistory> sensors; // by ordinal
    std::vector<int> shown;             // the ordinals the chart shows: the last reading's
};

// A history that keeps `span` of readings taken every `interval`.
History MakeHistory(uint64_t spanMs, uint64_t intervalMs);

// Adds a reading: a point per sensor it has (up to the sensors the library can map), which the
// chart then shows; one in the failed colour for every sensor shown when it has none because
// readings fail.
void Record(History *history, const Reading &reading);

// What a chart's heading says after the sensor's name: the last point's temperature and the
// library's status, and the owner's state with the owner's thresholds where set
// ("41 °C  normal;  warning by the owner's limits (35 / 45 °C)"), or "no reading".
std::wstring PanelStatus(const HistoryPoint &last);

// The points of one sensor taken after `fromMs`, oldest first.
std::vector<HistoryPoint> PointsSince(const SensorHistory &sensor, uint64_t fromMs);

// The temperature axis: from `low` to `high` in ticks of `step` degrees.
struct Scale {
    int low, high, step;
};

// An axis over every plausible temperature, limit and owner's threshold among the points with 5
// degrees to spare, ending on ticks of 1, 2, 5, 10, 20 or 50 degrees, at most 6 of them, never
// below 0; 0 to 100 in steps of 20 with nothing to show.
Scale ScaleFor(const std::vector<HistoryPoint> &points);

} // namespace monitor

#endif
