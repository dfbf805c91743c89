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
        return L"#" + Number(sensor.ordinal);
    std::wstring name = L"sensor " + Number(sensor.ordinal);
    if (style == LineStyle::Full && sensor.haveLocation)
        name += L" (location " + Number(sensor.location) + L")";
    return name;
}

std::wstring TooltipLine(const SensorReading &sensor, LineStyle style)
{
    std::wstring line = SensorName(sensor, style);
    if (!sensor.haveTemperature)
        return line + L" no reading";
    return line + L" " + Number(sensor.temperature) + L" " + kDegrees + L" " + StatusWord(ShownStatus(sensor));
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

// "sensor 0 (location 2): 99 °C, critical (limits: warning 90 °C, critical 98 °C)"
std::wstring NoticeLine(const SensorReading &sensor)
{
    std::wstring line = SensorName(sensor, LineStyle::Full) + L": " + Number(sensor.temperature) + L" " +
                        kDegrees + L", " + StatusWord(ShownStatus(sensor));
    std::wstring limits;
    if (sensor.haveWarning && Plausible(sensor.warningLimit))
        limits += L"warning " + Number(sensor.warningLimit) + L" " + kDegrees;
    if (sensor.haveCritical && Plausible(sensor.criticalLimit))
        limits += (limits.empty() ? L"" : L", ") + (L"critical " + Number(sensor.criticalLimit)) + L" " + kDegrees;
    return limits.empty() ? line : line + L" (limits: " + limits + L")";
}

} // namespace

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
    if (reading.problem != Problem::None || reading.sensors.empty())
        return true;
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
        if (Severity(ShownStatus(sensor)) > Severity(worst))
            worst = ShownStatus(sensor);
    }
    if (!hottest)
        return {L"!", kFailedColour, kLightTextColour};
    return {Number(hottest->temperature), StatusColour(worst),
            worst == KOVALTHERM_STATUS_CRITICAL ? kLightTextColour : kDarkTextColour};
}

std::wstring TooltipFor(const Reading *reading, size_t limit)
{
    if (!reading)
        return Cut(L"Kovaltherm: waiting for a reading", limit);
    if (reading->problem != Problem::None || reading->sensors.empty())
        return Cut(L"Kovaltherm: no readings: " + WhatFailed(*reading), limit);
    const std::vector<SensorReading> &sensors = reading->sensors;
    std::vector<std::wstring> lines;
    for (LineStyle style : {LineStyle::Full, LineStyle::NoLocation, LineStyle::Short}) {
        lines.clear();
        for (const SensorReading &sensor : sensors)
            lines.push_back(TooltipLine(sensor, style));
        std::wstring text = JoinLines(lines);
        if (text.size() <= limit)
            return text;
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
            return text;
    }
    return Cut(L"+" + Number((int)sensors.size()) + L" sensors", limit);
}

bool NoticeFor(const Reading *previous, const Reading &current, Notice *notice)
{
    bool wasFailing = previous && Failed(*previous);
    bool failing = Failed(current);
    std::vector<const SensorReading *> critical, warning;
    for (const SensorReading &sensor : current.sensors) {
        int status = ShownStatus(sensor);
        const SensorReading *before = FindSensor(previous, sensor.ordinal);
        int was = before ? ShownStatus(*before) : KOVALTHERM_STATUS_NORMAL;
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
    if (!failing && wasFailing)
        lines.push_back(L"Readings back: all " + Number((int)current.sensors.size()) + L" sensors read again.");
    if (lines.empty())
        return false;

    const SensorReading *first = !critical.empty() ? critical[0] : !warning.empty() ? warning[0] : nullptr;
    const wchar_t *action = !critical.empty()                     ? kCriticalAction
                            : !warning.empty()                    ? kWarningAction
                            : !failing                            ? kNoAction
                            : current.problem == Problem::NotLoaded ? kReinstallAction
                                                                    : kWaitAction;
    if (first) {
        notice->kind = critical.empty() ? NoticeKind::Warning : NoticeKind::Error;
        notice->title = SensorName(*first, LineStyle::NoLocation) + L" " + StatusWord(ShownStatus(*first)) +
                        L": " + Number(first->temperature) + L" " + kDegrees;
        size_t more = critical.size() + warning.size() - 1;
        if (more)
            notice->title += L" (+" + Number((int)more) + L" more)";
    } else if (failing) {
        notice->kind = NoticeKind::Error;
        notice->title = L"Sensor readings failing";
    } else {
        notice->kind = NoticeKind::Info;
        notice->title = L"Sensor readings back";
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

History MakeHistory(uint64_t spanMs, uint64_t intervalMs)
{
    History history;
    history.capacity = (size_t)(spanMs / std::max<uint64_t>(intervalMs, 1)) + 2;
    return history;
}

void Record(History *history, const Reading &reading)
{
    std::vector<HistoryPoint> points;
    std::vector<int> ordinals;
    for (const SensorReading &sensor : reading.sensors) {
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
        points.push_back(point);
        ordinals.push_back(sensor.ordinal);
    }
    if (reading.sensors.empty())
        for (size_t i = 0; i < history->sensors.size(); ++i) {
            HistoryPoint point;
            point.timeMs = reading.timeMs;
            point.failed = true;
            points.push_back(point);
            ordinals.push_back((int)i);
        }
    for (size_t i = 0; i < points.size(); ++i) {
        if (ordinals[i] < 0 || ordinals[i] >= ktsensors::kMaxSensors)
            continue;
        if ((size_t)ordinals[i] >= history->sensors.size())
            history->sensors.resize(ordinals[i] + 1);
        SensorHistory &sensor = history->sensors[ordinals[i]];
        if (sensor.ring.size() != history->capacity)
            sensor.ring.assign(history->capacity, HistoryPoint());
        if (i < reading.sensors.size() && reading.sensors[i].haveLocation) {
            sensor.haveLocation = true;
            sensor.location = reading.sensors[i].location;
        }
        if (sensor.count == history->capacity) {
            sensor.ring[sensor.first] = points[i];
            sensor.first = (sensor.first + 1) % history->capacity;
        } else {
            sensor.ring[(sensor.first + sensor.count++) % history->capacity] = points[i];
        }
    }
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
