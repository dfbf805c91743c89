// --check: the plugin line and state of one reading.
#include "check.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>

#include <algorithm>

#include "excerpt.h"

namespace ktsensors {

namespace {

const char *const kStateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// Severity for combining states: CRITICAL, then WARNING, then UNKNOWN, then OK.
int Severity(CheckState state)
{
    switch (state) {
    case kCheckCritical: return 3;
    case kCheckWarning: return 2;
    case kCheckUnknown: return 1;
    case kCheckOk: break;
    }
    return 0;
}

// A decimal number, all of `text`; false when it is not one.
bool ParseNumber(const std::string &text, double *value)
{
    if (text.empty() || text.find_first_not_of("+-.0123456789") != std::string::npos)
        return false;
    char *end = nullptr;
    errno = 0;
    *value = strtod(text.c_str(), &end);
    return end && *end == '\0' && errno == 0 && isfinite(*value);
}

// The line "KOVALTHERM STATE - text[ | perfdata]", cut to kMaxCheckOutput: the text is
// shortened first, then performance data dropped from the end, whole items at a time.
std::string Line(CheckState state, const std::string &text, std::vector<std::string> perfdata)
{
    std::string head = std::string("KOVALTHERM ") + kStateNames[state] + " - ";
    auto joined = [&] {
        std::string data;
        for (const std::string &item : perfdata)
            data += (data.empty() ? " | " : " ") + item;
        return data;
    };
    while (!perfdata.empty() && head.size() + 20 + joined().size() + 1 > kMaxCheckOutput)
        perfdata.pop_back();
    std::string data = joined();
    size_t room = kMaxCheckOutput - 1 - head.size() - data.size();
    return head + (text.size() > room ? Excerpt(text, room) : text) + data + "\n";
}

} // namespace

bool ParseRange(const std::string &text, Range *range, std::string *error)
{
    Range r;
    r.given = true;
    r.text = text;
    std::string body = text;
    if (!body.empty() && body[0] == '@') {
        r.inside = true;
        body.erase(0, 1);
    }
    size_t colon = body.find(':');
    std::string start = colon == std::string::npos ? "" : body.substr(0, colon);
    std::string end = colon == std::string::npos ? body : body.substr(colon + 1);
    bool ok = !body.empty() && body != ":";
    if (start == "~")
        r.noStart = true;
    else if (!start.empty())
        ok = ok && ParseNumber(start, &r.start);
    if (end.empty())
        r.noEnd = colon != std::string::npos;
    else
        ok = ok && ParseNumber(end, &r.end);
    ok = ok && (colon != std::string::npos || !end.empty());
    if (ok && !r.noStart && !r.noEnd && r.start > r.end) {
        *error = "the range '" + Excerpt(text, 40) + "' starts above its end";
        return false;
    }
    if (!ok) {
        *error = "expected a range such as 80, 10:90, ~:80, 90: or @70:80, got '" + Excerpt(text, 40) + "'";
        return false;
    }
    *range = r;
    return true;
}

bool RangeAlerts(const Range &range, double value)
{
    bool within = (range.noStart || value >= range.start) && (range.noEnd || value <= range.end);
    return range.inside ? within : !within;
}

CheckResult CheckUnknown(const std::string &why)
{
    CheckResult result;
    result.state = kCheckUnknown;
    result.line = Line(kCheckUnknown, why, {});
    return result;
}

CheckResult CheckTimedOut(unsigned seconds) { return CheckUnknown("no answer within " + std::to_string(seconds) + " s"); }

CheckResult JudgeReading(const Reading &reading, const CheckOptions &options)
{
    if (!reading.loaded)
        return CheckUnknown("Kovaltherm.dll did not load");
    if (reading.sensorCount <= 0)
        return CheckUnknown(CountProblem(reading));
    bool ranges = options.warning.given || options.critical.given;
    CheckState worst = kCheckOk;
    std::vector<std::pair<CheckState, std::string>> sensors;
    // A count that changed or that the library cannot map is UNKNOWN; the sensors read are
    // still judged.
    if (CountFailed(reading)) {
        worst = kCheckUnknown;
        sensors.push_back({kCheckUnknown, CountProblem(reading)});
    }
    std::vector<std::string> perfdata;
    for (const SensorReading &s : reading.sensors) {
        std::string label = "sensor " + std::to_string(s.ordinal) + " (location " +
                            (s.location.ok ? std::to_string(s.location.value) : std::string("FAILED")) + ")";
        CheckState state = kCheckUnknown;
        std::string what;
        if (!s.temperature.ok)
            what = "no temperature";
        else {
            what = std::to_string(s.temperature.value) + " C ";
            if (ranges) {
                state = options.critical.given && RangeAlerts(options.critical, s.temperature.value) ? kCheckCritical
                        : options.warning.given && RangeAlerts(options.warning, s.temperature.value) ? kCheckWarning
                                                                                                    : kCheckOk;
                what += state == kCheckCritical ? "critical" : state == kCheckWarning ? "warning" : "normal";
            } else if (!s.status.ok)
                what += "status unreadable";
            else {
                what += StatusName(s.status.value);
                state = s.status.value == KOVALTHERM_STATUS_NORMAL     ? kCheckOk
                        : s.status.value == KOVALTHERM_STATUS_WARNING  ? kCheckWarning
                        : s.status.value == KOVALTHERM_STATUS_CRITICAL ? kCheckCritical
                                                                       : kCheckUnknown;
            }
            // A range for inside (@) is left out: parsers of performance data do not take it.
            auto threshold = [ranges](const Range &range, const Call &limit) {
                return ranges ? (range.inside ? "" : range.text) : limit.ok ? std::to_string(limit.value) : "";
            };
            std::string warn = threshold(options.warning, s.warningLimit);
            std::string crit = threshold(options.critical, s.criticalLimit);
            perfdata.push_back("'sensor" + std::to_string(s.ordinal) + "'=" + std::to_string(s.temperature.value) +
                               ";" + warn + ";" + crit + ";0;");
        }
        if (std::find(options.ignore.begin(), options.ignore.end(), s.ordinal) != options.ignore.end())
            continue;
        if (Severity(state) > Severity(worst))
            worst = state;
        sensors.push_back({state, label + " " + what});
    }
    // The sensors in trouble; when there is none, every sensor.
    std::string text;
    for (const auto &sensor : sensors)
        if (worst == kCheckOk || sensor.first != kCheckOk)
            text += (text.empty() ? "" : ", ") + sensor.second;
    if (sensors.empty())
        text = "every sensor is ignored";
    CheckResult result;
    result.state = worst;
    result.line = Line(worst, text, perfdata);
    return result;
}

} // namespace ktsensors
