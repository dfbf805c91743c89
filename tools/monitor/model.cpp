// The monitor's logic that needs no window.
#include "model.h"

#include <math.h>

#include <algorithm>

#include "max_sensors.h"

namespace monitor {

namespace {

const wchar_t kDegrees[] = L"\u00b0C";
const wchar_t kEllipsis = L'\u2026';
// What a person does after each kind of notification, in its last line.
const wchar_t kCriticalAction[] = L"Save your work now and let the notebook cool.";
const wchar_t kWarningAction[] = L"Close demanding programs and keep the vents free.";
const wchar_t kReinstallAction[] = L"Reinstall Kovaltherm; the monitor keeps trying.";
const wchar_t kWaitAction[] = L"The monitor keeps trying; if this lasts, restart the notebook.";
const wchar_t kNoAction[] = L"Nothing to do.";
const wchar_t kConfigAction[] = L"Correct it, or ask your administrator to.";
// The tooltip's last line while the sensor configuration is not valid (the window says why).
const wchar_t kConfigTooltipLine[] = L"Sensor settings not valid: see the window";
const wchar_t kConfigProblemStart[] = L"Sensor settings not valid: ";
const wchar_t kByOwnersLimits[] = L" by the owner's limits";

std::wstring Number(int value) { return std::to_wstring(value); }

const wchar_t *StatusWord(int status)
{
    switch (status) {
    case KOVALTHERM_STATUS_NORMAL: return L"normal";
    case KOVALTHERM_STATUS_WARNING: return L"warning";
    case KOVALTHERM_STATUS_CRITICAL: return L"critical";
    default: return L"no status";
    }
}

// `text` cut to `limit` characters, the last one an ellipsis when it was cut.
std::wstring Cut(const std::wstring &text, size_t limit)
{
    if (text.size() <= limit)
        return text;
    return text.substr(0, limit - 1) + kEllipsis;
}

// How a tooltip line names its sensor.
enum class LineStyle { Full, NoLocation, Short };

std::wstring SensorName(const SensorReading &sensor, LineStyle style)
{
    if (style == LineStyle::Short)
        return sensor.label.empty() ? L"#" + Number(sensor.ordinal) : FromUtf8(sensor.label);
    return SensorTitle(sensor.ordinal, style == LineStyle::Full && sensor.haveLocation, sensor.location, sensor.label);
}

// The judged status in words, saying when the owner's limits gave it.
std::wstring StatusText(const SensorReading &sensor, LineStyle style)
{
    std::wstring word = StatusWord(JudgedStatus(sensor));
    if (!ByOwnersLimits(sensor))
        return word;
    return word + (style == LineStyle::Short ? L" (owner's)" : kByOwnersLimits);
}

std::wstring TooltipLine(const SensorReading &sensor, LineStyle style)
{
    std::wstring line = SensorName(sensor, style);
    if (!sensor.haveTemperature)
        return line + L" no reading";
    return line + L" " + Number(sensor.temperature) + L" " + kDegrees + L" " + StatusText(sensor, style);
}

// "warning 90 °C, critical 98 °C", of the limits given.
std::wstring LimitsText(bool haveWarning, int warning, bool haveCritical, int critical)
{
    std::wstring limits;
    if (haveWarning)
        limits += L"warning " + Number(warning) + L" " + kDegrees;
    if (haveCritical)
        limits += (limits.empty() ? L"" : L", ") + (L"critical " + Number(critical)) + L" " + kDegrees;
    return limits;
}

// The owner's thresholds in words, as LimitsText.
std::wstring OwnersLimitsText(int warning, int critical)
{
    return LimitsText(warning != ktsensors::kNoThreshold, warning, critical != ktsensors::kNoThreshold, critical);
}

std::wstring JoinLines(const std::vector<std::wstring> &lines)
{
    std::wstring text;
    for (const std::wstring &line : lines)
        text += (text.empty() ? L"" : L"\n") + line;
    return text;
}

// The sensors in the order the tooltip keeps them when not all fit: hottest first, then those
// without a temperature; ties by ordinal.
std::vector<size_t> HottestFirst(const std::vector<SensorReading> &sensors)
{
    std::vector<size_t> order(sensors.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const SensorReading &x = sensors[a], &y = sensors[b];
        if (x.haveTemperature != y.haveTemperature)
            return x.haveTemperature;
        return x.haveTemperature && x.temperature > y.temperature;
    });
    return order;
}

const SensorReading *FindSensor(const Reading *reading, int ordinal)
{
    if (!reading)
        return nullptr;
    for (const SensorReading &sensor : reading->sensors)
        if (sensor.ordinal == ordinal)
            return &sensor;
    return nullptr;
}

// "sensor 0 (location 2): 99 °C, critical (limits: warning 90 °C, critical 98 °C)", or with
// the owner's limits where they judged the sensor: "(owner's limits: warning 35 °C, ...)".
std::wstring NoticeLine(const SensorReading &sensor)
{
    std::wstring line = SensorName(sensor, LineStyle::Full) + L": " + Number(sensor.temperature) + L" " +
                        kDegrees + L", " + StatusWord(JudgedStatus(sensor));
    if (ByOwnersLimits(sensor))
        return line + L" (owner's limits: " + OwnersLimitsText(sensor.ownerWarning, sensor.ownerCritical) + L")";
    std::wstring limits = LimitsText(sensor.haveWarning && Plausible(sensor.warningLimit), sensor.warningLimit,
                                     sensor.haveCritical && Plausible(sensor.criticalLimit), sensor.criticalLimit);
    return limits.empty() ? line : line + L" (limits: " + limits + L")";
}

} // namespace

std::wstring FromUtf8(const std::string &text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        uint32_t code = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; length && k < length; ++k) {
            if (i + k >= text.size() || ((unsigned char)text[i + k] & 0xC0) != 0x80)
                length = 0;
            else
                code = code << 6 | ((unsigned char)text[i + k] & 0x3F);
        }
        if (length == 0) {
            out += L'\ufffd';
            ++i;
            continue;
        }
        if (code >= 0x10000 && sizeof(wchar_t) == 2) {
            out += (wchar_t)(0xD800 + ((code - 0x10000) >> 10));
            out += (wchar_t)(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out += (wchar_t)code;
        }
        i += length;
    }
    return out;
}

std::wstring SensorTitle(int ordinal, bool haveLocation, int location, const std::string &label)
{
    std::wstring name = L"sensor " + Number(ordinal);
    std::wstring inside = haveLocation ? L"location " + Number(location) : L"";
    if (!label.empty())
        inside += (inside.empty() ? L"" : L", ") + FromUtf8(label);
    return inside.empty() ? name : name + L" (" + inside + L")";
}

std::wstring WhatFailed(const Reading &reading)
{
    if (reading.problem == Problem::NotLoaded)
        return reading.detail;
    if (reading.problem == Problem::NoSensors)
        return L"The library reports no sensors.";
    std::wstring names;
    for (const SensorReading &sensor : reading.sensors)
        if (!sensor.haveTemperature)
            names += (names.empty() ? L"" : L", ") + SensorName(sensor, LineStyle::NoLocation);
    return L"No temperature from " + names + L".";
}

bool Plausible(int celsius) { return celsius >= 0 && celsius <= kHighestCelsius; }

int ShownStatus(const SensorReading &sensor) { return sensor.haveStatus ? sensor.status : KOVALTHERM_STATUS_NONE; }

bool ByOwnersLimits(const SensorReading &sensor)
{
    return sensor.haveTemperature &&
           (sensor.ownerWarning != ktsensors::kNoThreshold || sensor.ownerCritical != ktsensors::kNoThreshold);
}

int JudgedStatus(const SensorReading &sensor) { return ByOwnersLimits(sensor) ? sensor.ownerState : ShownStatus(sensor); }

int Severity(int status)
{
    switch (status) {
    case KOVALTHERM_STATUS_NORMAL: return 0;
    case KOVALTHERM_STATUS_WARNING: return 2;
    case KOVALTHERM_STATUS_CRITICAL: return 3;
    default: return 1;
    }
}

uint32_t Blend(uint32_t colour, uint32_t background, double opacity)
{
    uint32_t out = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        double front = (colour >> shift) & 0xff, back = (background >> shift) & 0xff;
        out |= (uint32_t)lround(back + (front - back) * opacity) << shift;
    }
    return out;
}

bool Failed(const Reading &reading)
{
    if (reading.problem != Problem::None)
        return true;
    if (reading.sensors.empty())
        return reading.ignored == 0;
    for (const SensorReading &sensor : reading.sensors)
        if (!sensor.haveTemperature)
            return true;
    return false;
}

IconFace FaceFor(const Reading *reading)
{
    if (!reading)
        return {std::wstring(1, kEllipsis), kNoStatusColour, kDarkTextColour};
    const SensorReading *hottest = nullptr;
    int worst = KOVALTHERM_STATUS_NORMAL;
    for (const SensorReading &sensor : reading->sensors) {
        if (sensor.haveTemperature && (!hottest || sensor.temperature > hottest->temperature))
            hottest = &sensor;
        if (Severity(JudgedStatus(sensor)) > Severity(worst))
            worst = JudgedStatus(sensor);
    }
    if (!hottest && !Failed(*reading))
        return {L"\u2013", kNoStatusColour, kDarkTextColour};
    if (!hottest)
        return {L"!", kFailedColour, kLightTextColour};
    return {Number(hottest->temperature), StatusColour(worst),
            worst == KOVALTHERM_STATUS_CRITICAL ? kLightTextColour : kDarkTextColour};
}

std::wstring TooltipFor(const Reading *reading, size_t limit)
{
    if (!reading)
        return Cut(L"Kovaltherm: waiting for a reading", limit);
    // The sensor configuration's problem takes the last line, and the sensors the room left.
    std::wstring last = reading->configProblem.empty() ? L"" : std::wstring(L"\n") + kConfigTooltipLine;
    if (last.size() >= limit)
        last.clear();
    limit -= last.size();
    if (reading->problem != Problem::None || (reading->sensors.empty() && reading->ignored == 0))
        return Cut(L"Kovaltherm: no readings: " + WhatFailed(*reading), limit) + last;
    if (reading->sensors.empty())
        return Cut(L"Kovaltherm: every sensor is ignored, as the sensor settings say", limit) + last;
    const std::vector<SensorReading> &sensors = reading->sensors;
    std::vector<std::wstring> lines;
    for (LineStyle style : {LineStyle::Full, LineStyle::NoLocation, LineStyle::Short}) {
        lines.clear();
        for (const SensorReading &sensor : sensors)
            lines.push_back(TooltipLine(sensor, style));
        std::wstring text = JoinLines(lines);
        if (text.size() <= limit)
            return text + last;
    }
    // The hottest sensors that fit beside a "+K more" line, shown in ordinal order.
    std::vector<size_t> order = HottestFirst(sensors);
    for (size_t shown = sensors.size() - 1; shown > 0; --shown) {
        std::vector<size_t> chosen(order.begin(), order.begin() + shown);
        std::sort(chosen.begin(), chosen.end());
        lines.clear();
        for (size_t i : chosen)
            lines.push_back(TooltipLine(sensors[i], LineStyle::Short));
        lines.push_back(L"+" + Number((int)(sensors.size() - shown)) + L" more");
        std::wstring text = JoinLines(lines);
        if (text.size() <= limit)
            return text + last;
    }
    return Cut(L"+" + Number((int)sensors.size()) + L" sensors", limit) + last;
}

std::wstring IconLimitsLine(const Reading *reading)
{
    std::vector<std::wstring> owners;
    size_t others = 0;
    for (const SensorReading &sensor : reading ? reading->sensors : std::vector<SensorReading>()) {
        if (sensor.ownerWarning != ktsensors::kNoThreshold || sensor.ownerCritical != ktsensors::kNoThreshold)
            owners.push_back(sensor.label.empty() ? L"sensor " + Number(sensor.ordinal) : FromUtf8(sensor.label));
        else
            ++others;
    }
    if (owners.empty())
        return L"Icon colour: the firmware's limits";
    if (!others)
        return L"Icon colour: the owner's limits";
    std::wstring names;
    for (size_t i = 0; i < owners.size(); ++i)
        names += (i == 0 ? L"" : i + 1 == owners.size() ? L" and " : L", ") + owners[i];
    return L"Icon colour: the owner's limits for " + names + L", the firmware's for the rest";
}

bool NoticeFor(const Reading *previous, const Reading &current, Notice *notice)
{
    bool wasFailing = previous && Failed(*previous);
    bool failing = Failed(current);
    std::vector<const SensorReading *> critical, warning;
    for (const SensorReading &sensor : current.sensors) {
        int status = JudgedStatus(sensor);
        const SensorReading *before = FindSensor(previous, sensor.ordinal);
        int was = before ? JudgedStatus(*before) : KOVALTHERM_STATUS_NORMAL;
        if (Severity(status) <= Severity(was))
            continue;
        if (status == KOVALTHERM_STATUS_CRITICAL)
            critical.push_back(&sensor);
        else if (status == KOVALTHERM_STATUS_WARNING)
            warning.push_back(&sensor);
    }
    std::vector<std::wstring> lines;
    for (const SensorReading *sensor : critical)
        lines.push_back(NoticeLine(*sensor));
    for (const SensorReading *sensor : warning)
        lines.push_back(NoticeLine(*sensor));
    if (failing && !wasFailing)
        lines.push_back(L"Readings failing: " + WhatFailed(current));
    bool failingNow = failing && !wasFailing, back = !failing && wasFailing;
    if (back)
        lines.push_back(L"Readings back: all " + Number((int)current.sensors.size()) + L" sensors read again.");
    // The sensor configuration: said once when it stops being valid, and once when it is again.
    const std::wstring &wasProblem = previous ? previous->configProblem : std::wstring();
    bool configBad = !current.configProblem.empty() && current.configProblem != wasProblem;
    bool configGood = current.configProblem.empty() && !wasProblem.empty();
    if (configBad)
        lines.push_back(kConfigProblemStart + current.configProblem);
    if (configGood)
        lines.push_back(L"Sensor settings valid again: they apply from this reading.");
    if (lines.empty())
        return false;

    const SensorReading *first = !critical.empty() ? critical[0] : !warning.empty() ? warning[0] : nullptr;
    const wchar_t *action = !critical.empty()                       ? kCriticalAction
                            : !warning.empty()                      ? kWarningAction
                            : failingNow && current.problem == Problem::NotLoaded ? kReinstallAction
                            : failingNow                            ? kWaitAction
                            : configBad                             ? kConfigAction
                                                                    : kNoAction;
    if (first) {
        notice->kind = critical.empty() ? NoticeKind::Warning : NoticeKind::Error;
        notice->title = SensorName(*first, LineStyle::NoLocation) + L" " + StatusWord(JudgedStatus(*first)) +
                        L": " + Number(first->temperature) + L" " + kDegrees;
        size_t more = critical.size() + warning.size() - 1;
        if (more)
            notice->title += L" (+" + Number((int)more) + L" more)";
    } else if (failingNow) {
        notice->kind = NoticeKind::Error;
        notice->title = L"Sensor readings failing";
    } else if (configBad) {
        notice->kind = NoticeKind::Warning;
        notice->title = L"Sensor settings not valid";
    } else {
        notice->kind = NoticeKind::Info;
        notice->title = back ? L"Sensor readings back" : L"Sensor settings apply again";
    }
    notice->title = Cut(notice->title, kNoticeTitleChars);
    // The action stays whole; what happened is cut to the room left.
    std::wstring last = std::wstring(L"\n") + action;
    notice->text = Cut(JoinLines(lines), kNoticeTextChars - last.size()) + last;
    return true;
}

std::wstring ReadingsLine(const Reading *latest, bool overdue, uint64_t overdueMs)
{
    if (!latest)
        return L"Waiting for the first reading.";
    if (overdue)
        return L"Waiting for a reading: none for more than " + Number((int)(overdueMs / 1000)) +
               L" s; the chart ends at the last one.";
    if (Failed(*latest))
        return L"Readings failing: " + WhatFailed(*latest);
    return L"";
}

std::wstring ConfigLine(const Reading *latest)
{
    if (!latest || latest->configProblem.empty())
        return L"";
    return kConfigProblemStart + latest->configProblem;
}

History MakeHistory(uint64_t spanMs, uint64_t intervalMs)
{
    History history;
    history.capacity = (size_t)(spanMs / std::max<uint64_t>(intervalMs, 1)) + 2;
    return history;
}

void Record(History *history, const Reading &reading)
{
    // A reading without sensors because readings fail marks the sensors shown as failed; one
    // with sensors (or whose every sensor is ignored) decides which the chart shows.
    std::vector<std::pair<int, HistoryPoint>> points;
    const SensorReading *sensorOf[ktsensors::kMaxSensors] = {};
    if (reading.sensors.empty() && Failed(reading)) {
        for (int ordinal : history->shown) {
            HistoryPoint point;
            point.timeMs = reading.timeMs;
            point.failed = true;
            points.push_back({ordinal, point});
        }
    } else {
        history->shown.clear();
        for (const SensorReading &sensor : reading.sensors) {
            if (sensor.ordinal < 0 || sensor.ordinal >= ktsensors::kMaxSensors)
                continue;
            HistoryPoint point;
            point.timeMs = reading.timeMs;
            point.haveTemperature = sensor.haveTemperature;
            point.temperature = sensor.temperature;
            point.failed = !sensor.haveTemperature || !sensor.haveStatus;
            point.status = ShownStatus(sensor);
            point.haveWarning = sensor.haveWarning && Plausible(sensor.warningLimit);
            point.warningLimit = sensor.warningLimit;
            point.haveCritical = sensor.haveCritical && Plausible(sensor.criticalLimit);
            point.criticalLimit = sensor.criticalLimit;
            point.ownerWarning = sensor.ownerWarning;
            point.ownerCritical = sensor.ownerCritical;
            point.ownerState = ByOwnersLimits(sensor) ? sensor.ownerState : ktsensors::kOwnerNone;
            points.push_back({sensor.ordinal, point});
            sensorOf[sensor.ordinal] = &sensor;
            history->shown.push_back(sensor.ordinal);
        }
    }
    for (const auto &entry : points) {
        int ordinal = entry.first;
        if ((size_t)ordinal >= history->sensors.size())
            history->sensors.resize(ordinal + 1);
        SensorHistory &sensor = history->sensors[ordinal];
        if (sensor.ring.size() != history->capacity)
            sensor.ring.assign(history->capacity, HistoryPoint());
        if (const SensorReading *from = sensorOf[ordinal]) {
            sensor.label = from->label;
            if (from->haveLocation) {
                sensor.haveLocation = true;
                sensor.location = from->location;
            }
        }
        if (sensor.count == history->capacity) {
            sensor.ring[sensor.first] = entry.second;
            sensor.first = (sensor.first + 1) % history->capacity;
        } else {
            sensor.ring[(sensor.first + sensor.count++) % history->capacity] = entry.second;
        }
    }
}

std::wstring PanelStatus(const HistoryPoint &last)
{
    if (!last.haveTemperature)
        return L"no reading";
    std::wstring text = Number(last.temperature) + L" " + kDegrees + L"  " +
                        (last.failed ? L"failed" : StatusWord(last.status));
    if (last.ownerState != ktsensors::kOwnerNone)
        text += std::wstring(L";  ") + StatusWord(last.ownerState) + kByOwnersLimits + L" (" +
                OwnersLimitsText(last.ownerWarning, last.ownerCritical) + L")";
    return text;
}

std::vector<HistoryPoint> PointsSince(const SensorHistory &sensor, uint64_t fromMs)
{
    std::vector<HistoryPoint> points;
    for (size_t i = 0; i < sensor.count; ++i) {
        const HistoryPoint &point = sensor.ring[(sensor.first + i) % sensor.ring.size()];
        if (point.timeMs > fromMs)
            points.push_back(point);
    }
    return points;
}

Scale ScaleFor(const std::vector<HistoryPoint> &points)
{
    int low = 0, high = 0;
    bool any = false;
    auto include = [&](bool have, int value) {
        if (!have || !Plausible(value))
            return;
        low = any ? std::min(low, value) : value;
        high = any ? std::max(high, value) : value;
        any = true;
    };
    for (const HistoryPoint &point : points) {
        include(point.haveTemperature, point.temperature);
        include(point.haveWarning, point.warningLimit);
        include(point.haveCritical, point.criticalLimit);
        include(point.ownerWarning != ktsensors::kNoThreshold, point.ownerWarning);
        include(point.ownerCritical != ktsensors::kNoThreshold, point.ownerCritical);
    }
    if (!any)
        return {0, 100, 20};
    low = std::max(0, low - 5);
    high += 5;
    for (int step : {1, 2, 5, 10, 20, 50}) {
        int from = low / step * step, to = (high + step - 1) / step * step;
        if ((to - from) / step <= 6 || step == 50)
            return {from, to, step};
    }
    return {0, 100, 20};
}

} // namespace monitor
