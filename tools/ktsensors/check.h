// --check: one reading judged in the manner of a monitoring plugin (Nagios, Icinga, NRPE): one
// line "KOVALTHERM STATE - text | perfdata" and the plugins' exit codes.
#ifndef KTSENSORS_CHECK_H
#define KTSENSORS_CHECK_H

#include <string>
#include <vector>

#include "readings.h"

namespace ktsensors {

// The monitoring plugins' states, which are also the exit codes.
enum CheckState { kCheckOk = 0, kCheckWarning = 1, kCheckCritical = 2, kCheckUnknown = 3 };

// A threshold in the plugins' range syntax, [@]start:end: a value outside start..end alerts
// (inside, with @); "10" is 0:10, "10:" has no end, "~:10" no start.
struct Range {
    bool given = false;
    bool inside = false;
    bool noStart = false, noEnd = false;
    double start = 0, end = 0;
    std::string text; // as given, for the performance data
};

// Parses `text` as a range; false with a message.
bool ParseRange(const std::string &text, Range *range, std::string *error);

// Whether `value` raises the range's alert.
bool RangeAlerts(const Range &range, double value);

// --timeout: how long --check may take before it answers UNKNOWN. By default it answers before
// NRPE's 10 s, leaving 2 s for starting the program, loading the library and the way back.
const unsigned kCheckTimeoutSeconds = 8;
const unsigned kMaxCheckTimeoutSeconds = 3600;

// Whose limits judge a sensor without ranges: the owner's where the sensor configuration sets
// them (else the library's status), or the library's status (the firmware's limits) alone.
enum class CheckLimits { Owner, Firmware };

struct CheckOptions {
    Range warning, critical; // temperature ranges; without either, `limits` decide
    CheckLimits limits = CheckLimits::Owner;
    std::vector<int> ignore; // sensor ordinals left out of the state
    unsigned timeoutSeconds = kCheckTimeoutSeconds;
};

struct CheckResult {
    CheckState state = kCheckUnknown;
    std::string line; // newline-terminated, at most kMaxCheckOutput bytes
};

// Longest output, newline included: NRPE passes at most 1 KB (1024 bytes with its NUL).
const size_t kMaxCheckOutput = 1000;

// Judges `reading`: per sensor the owner's state or its status (or the ranges), a failed read
// UNKNOWN; the worst sensor decides, CRITICAL before WARNING before UNKNOWN before OK. A sensor
// configuration that was refused makes it at least UNKNOWN, with the reason.
CheckResult JudgeReading(const Reading &reading, const CheckOptions &options);

// The line for a check that read nothing: UNKNOWN with `why`.
CheckResult CheckUnknown(const std::string &why);

// The line for a check whose reading did not finish within its timeout.
CheckResult CheckTimedOut(unsigned seconds);

} // namespace ktsensors

#endif
