// ktsensors' command line: GNU-style long options, each checked with a message in plain words.
#include "options.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "interval_rules.h"
#include "listen_rules.h"

#ifndef KTSENSORS_VERSION
#define KTSENSORS_VERSION "unknown"
#endif

namespace ktsensors {

namespace {

enum class Id { Help, Version, Json, Format, Output, Watch, Count, Registry, Scenario, Dump, Reset, Plot, Trace, Listen, MaxAge,
                Check, Warning, Critical, Ignore, Timeout, Install, Uninstall, Service };

struct OptionInfo {
    Id id;
    const char *name;
    const char *argument; // nullptr for a flag
    const char *help;     // "" keeps the option out of --help
    bool hostOnly;
    bool serviceOnly = false; // only where the build runs as a Windows service
};

const OptionInfo kOptions[] = {
    {Id::Format, "--format", "FORMAT", "", false}, // its help lists the formats' table
    {Id::Json, "--json", nullptr, "the same as --format json", false},
    {Id::Output, "--output", "FILE",
     "write each reading to FILE instead of standard output, replacing it atomically "
     "(a temporary file in the same folder, then a rename); a symbolic link is followed to "
     "its file, and a FIFO or device such as /dev/stdout is written as it is", false},
    {Id::Watch, "--watch", "SECONDS",
     "take a reading every SECONDS (" KT_NUMBER_TEXT(KT_INTERVAL_SHORTEST_SECONDS) " to " KT_NUMBER_TEXT(
         KT_INTERVAL_LONGEST_SECONDS) ") until interrupted, or --count readings", false},
    {Id::Count, "--count", "N", "take N readings, then stop", false},
    {Id::Registry, "--registry", "PATH",
     "registry file of the simulated notebook (default: $KOVALTHERM_REGISTRY, else the "
     "notebook's own in $XDG_STATE_HOME/kovaltherm, else in ~/.local/state/kovaltherm: "
     "registry.db for the default notebook, registry-ID.db for another)", true},
    {Id::Scenario, "--scenario", "FILE", "simulate the notebook described in this JSON file", false},
    {Id::Reset, "--reset-cache", nullptr,
     "remove the sensor cache before reading, so that the library builds it afresh", false},
    {Id::Dump, "--dump-registry", nullptr,
     "print the sensor cache in REGEDIT4 text, as reg export would, and read no sensor (with "
     "--scenario, the cache of that notebook's registry)", false},
    {Id::Plot, "--plot", "FILE.svg",
     "run the notebook's temperature traces through the library and draw temperature, limits, "
     "the temperatures at which the status changes, and the status over time", false},
    {Id::Trace, "--trace", nullptr,
     "have the library explain each failed call (and each cache rebuild) with a line on "
     "standard error", false},
    {Id::Listen, "--listen", "[ADDR:]PORT",
     "serve readings over HTTP until interrupted: GET /metrics in the Prometheus text format, "
     "GET /json as --json; on " KT_LISTEN_DEFAULT_HOST " unless ADDR (an IPv4 address, or an IPv6 one in "
     "brackets) is given", false},
    {Id::MaxAge, "--max-age", "SECONDS",
     "with --listen, answer from a reading at most SECONDS old (0 to 3600, default 1); "
     "requests that arrive while a reading is taken wait for it", false},
    {Id::Check, "--check", nullptr,
     "take one reading and print one line for a monitoring plugin host (Nagios, Icinga, NRPE): "
     "KOVALTHERM OK, WARNING, CRITICAL or UNKNOWN, the sensors in trouble and each temperature as "
     "performance data; exit with that state (0 to 3). The library's status decides, and a failed "
     "read is UNKNOWN", false},
    {Id::Warning, "--warning", "RANGE",
     "with --check: a temperature outside RANGE (the plugins' range syntax: 80 is 0:80, 10:90, "
     "~:80, 90:, @70:80 for inside) is WARNING; with --warning or --critical the ranges decide "
     "instead of the status", false},
    {Id::Critical, "--critical", "RANGE", "with --check: a temperature outside RANGE is CRITICAL", false},
    {Id::Ignore, "--ignore", "SENSOR",
     "with --check: leave sensor SENSOR (an ordinal; may be repeated, or a list such as 1,2) out of "
     "the state", false},
    {Id::Timeout, "--timeout", "SECONDS",
     "with --check: answer UNKNOWN (no answer within SECONDS s) and exit 3 when the reading has not "
     "finished after SECONDS (1 to 3600, default 8, within NRPE's 10), abandoning it; -t for short", false},
    {Id::Install, "--install-service", nullptr,
     "install and start the Kovaltherm service (LocalSystem, automatic start, restarted after a "
     "failure), or bring the installed one to these options and restart it: a reading every "
     "--watch seconds (" KT_NUMBER_TEXT(KT_SERVICE_INTERVAL_SECONDS) ") written as Prometheus text to --output, a .prom file in a folder only "
     "administrators can change (windows_exporter's textfile_inputs\\kovaltherm.prom), and with "
     "--listen ADDR:PORT also served at /metrics and /json through http.sys (the URL reserved for "
     "the service); run as an administrator", false, true},
    {Id::Uninstall, "--uninstall-service", nullptr,
     "stop the service (waiting for it) and remove it, its event source and the file it wrote",
     false, true},
    {Id::Service, "--service", nullptr, "", false, true},
    {Id::Help, "--help", nullptr, "print this help and exit", false},
    {Id::Version, "--version", nullptr, "print the version and exit", false},
};

// The format the Windows service writes, for windows_exporter's textfile collector.
const char *const kServiceFormat = "prometheus";

// The formats' names joined as a sentence's list: "a, b or c"; each followed by its help in
// brackets when `withHelp`.
std::string FormatList(bool withHelp)
{
    std::string list;
    for (size_t i = 0; i < kFormatCount; ++i) {
        list += i == 0 ? "" : i + 1 == kFormatCount ? " or " : ", ";
        list += kFormats[i].name;
        if (withHelp)
            list += std::string(" (") + kFormats[i].help + ")";
    }
    return list;
}

// The help of an option: its own, or for --format the formats' table.
std::string OptionHelp(const OptionInfo &option)
{
    return option.id == Id::Format ? "print readings as " + FormatList(true) : option.help;
}

// Wraps `text` to `width` columns, each line after the first indented by `indent`.
std::string Wrap(const std::string &text, size_t indent, size_t width)
{
    std::string out, line;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        std::string word = text.substr(start, end - start);
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            out += line + "\n" + std::string(indent, ' ');
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return out + line;
}

bool ParseSeconds(const std::string &text, double *seconds, std::string *error)
{
    const std::string quoted = "'" + Excerpt(text, 40) + "'";
    char *end = nullptr;
    errno = 0;
    double value = strtod(text.c_str(), &end);
    bool numeric = !text.empty() && end && *end == '\0' && text.find_first_of("xXpP") == std::string::npos;
    if (!numeric || isnan(value)) {
        *error = "--watch: expected a number of seconds, got " + quoted;
        return false;
    }
    if (value <= 0) {
        *error = "--watch: the interval must be more than 0 seconds, got " + quoted;
        return false;
    }
    if (isinf(value) || value > KT_INTERVAL_LONGEST_SECONDS) {
        *error = "--watch: the interval must be at most a day (" KT_NUMBER_TEXT(KT_INTERVAL_LONGEST_SECONDS)
                 " seconds), got " + quoted;
        return false;
    }
    if (value < KT_INTERVAL_SHORTEST_SECONDS) {
        *error = "--watch: the interval must be at least a millisecond (" KT_NUMBER_TEXT(KT_INTERVAL_SHORTEST_SECONDS)
                 " seconds), got " + quoted;
        return false;
    }
    *seconds = value;
    return true;
}

bool ParseCount(const std::string &text, uint64_t *count, std::string *error)
{
    uint64_t value = 0;
    bool ok = !text.empty() && text.size() <= 20 && text.find_first_not_of("0123456789") == std::string::npos;
    if (ok) {
        errno = 0;
        value = strtoull(text.c_str(), nullptr, 10);
        ok = errno == 0 && value >= 1 && value <= kMaxCount;
    }
    if (!ok) {
        *error = "--count: expected a whole number of readings from 1 to " + std::to_string(kMaxCount) +
                 ", got '" + Excerpt(text, 40) + "'";
        return false;
    }
    *count = value;
    return true;
}

bool ParseFormat(const std::string &text, const Format **format, std::string *error)
{
    *format = FindFormat(text);
    if (!*format)
        *error = "--format: expected " + FormatList(false) + ", got '" + Excerpt(text, 40) + "'";
    return *format != nullptr;
}

bool ParseMaxAge(const std::string &text, uint64_t *ms, std::string *error)
{
    char *end = nullptr;
    double value = strtod(text.c_str(), &end);
    bool numeric = !text.empty() && end && *end == '\0' && text.find_first_of("xXpP") == std::string::npos;
    if (!numeric || !(value >= 0 && value <= kMaxMaxAgeSeconds)) {
        *error = "--max-age: expected seconds from 0 to 3600, got '" + Excerpt(text, 40) + "'";
        return false;
    }
    *ms = (uint64_t)(value * 1000 + 0.5);
    return true;
}

// "PORT", "A.B.C.D:PORT" or "[IPV6]:PORT", with a numeric address that exists; the host is
// left as it was when only a port is given.
bool ParseListen(const std::string &text, std::string *host, int *port, std::string *error)
{
    char address[KT_LISTEN_HOST_MAX];
    if (text.find('\0') != std::string::npos || !KtParseListen(text.c_str(), address, port)) {
        *error = "--listen: expected [ADDR:]PORT with a numeric address (127.0.0.1:9101, [::1]:9101), got '" +
                 Excerpt(text, 40) + "'";
        return false;
    }
    if (*address)
        *host = address;
    return true;
}

// --timeout: whole seconds from 1 to kMaxCheckTimeoutSeconds, as the monitoring plugins take.
bool ParseTimeout(const std::string &text, unsigned *seconds, std::string *error)
{
    bool ok = !text.empty() && text.size() <= 4 && text.find_first_not_of("0123456789") == std::string::npos &&
              atoi(text.c_str()) >= 1 && (unsigned)atoi(text.c_str()) <= kMaxCheckTimeoutSeconds;
    if (!ok) {
        *error = "--timeout: expected whole seconds from 1 to " + std::to_string(kMaxCheckTimeoutSeconds) + ", got '" +
                 Excerpt(text, 40) + "'";
        return false;
    }
    *seconds = (unsigned)atoi(text.c_str());
    return true;
}

// Sensor ordinals for --ignore: one, or a comma-separated list; each 0 to 255.
bool ParseIgnore(const std::string &text, std::vector<int> *ordinals, std::string *error)
{
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item.empty() || item.size() > 3 || item.find_first_not_of("0123456789") != std::string::npos ||
            atoi(item.c_str()) > 255) {
            *error = "--ignore: expected a sensor ordinal from 0 to 255 (or a list such as 1,2), got '" +
                     Excerpt(text, 40) + "'";
            return false;
        }
        ordinals->push_back(atoi(item.c_str()));
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

bool EndsWith(const std::string &text, const std::string &end)
{
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

std::string SecondsText(double seconds)
{
    char text[32] = "";
    for (int precision = 1; precision <= 17; ++precision) {
        snprintf(text, sizeof text, "%.*g", precision, seconds);
        if (!strchr(text, 'e') && strtod(text, nullptr) == seconds)
            break;
    }
    return text;
}

std::string HelpText(const Platform &platform)
{
    std::string text =
        "Usage: ktsensors [OPTION]...\n"
        "Print the notebook's thermal sensors as Kovaltherm.dll reports them:\n"
        "temperature, warning and critical limits, and status.\n\nOptions:\n";
    const size_t column = 24;
    for (const OptionInfo &option : kOptions) {
        std::string help = OptionHelp(option);
        if ((option.hostOnly && !platform.registryFile) || (option.serviceOnly && !platform.service) || help.empty())
            continue;
        std::string head = std::string("  ") + option.name + (option.argument ? std::string(" ") + option.argument : "");
        if (head.size() + 2 > column)
            head += "\n" + std::string(column, ' ');
        else
            head += std::string(column - head.size(), ' ');
        text += head + Wrap(help, column, 79) + "\n";
    }
    text += "\nExit status:\n"
            "  0  every read succeeded\n"
            "  1  a read failed, the machine has no thermal support, the registry is\n"
            "     unusable, or the output could not be written\n"
            "  2  a usage error, including a malformed scenario\n"
            "Readings stopped by Ctrl+C"
#ifndef _WIN32
            ", SIGTERM or SIGHUP"
#endif
            " end with the status\nof the readings made.\n"
            "With --check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (also for a usage error).\n"
            "\nMachine: " + Wrap(platform.machine, 2, 79) + "\n";
    return text;
}

ParseResult ParseOptions(int argc, char **argv, const Platform &platform, Options *options,
                         std::string *text)
{
    std::vector<Id> given;
    auto seen = [&](Id id) {
        for (Id g : given)
            if (g == id)
                return true;
        return false;
    };
    bool help = false, version = false;
    std::string formatName;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg, value;
        size_t equals = arg.find('=');
        bool inlineValue = arg.compare(0, 2, "--") == 0 && equals != std::string::npos;
        if (inlineValue) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        if (name == "-h")
            name = "--help";
        const OptionInfo *option = nullptr;
        if (name == "-w" || name == "-c" || name == "-t")
            name = name == "-w" ? "--warning" : name == "-c" ? "--critical" : "--timeout";
        for (const OptionInfo &s : kOptions)
            if (name == s.name && (!s.hostOnly || platform.registryFile) && (!s.serviceOnly || platform.service))
                option = &s;
        if (!option) {
            *text = (arg.compare(0, 1, "-") == 0 ? "unknown option '" : "unexpected argument '") +
                    Excerpt(name, 40) + "' (see --help)";
            return ParseResult::UsageError;
        }
        if (seen(option->id) && option->id != Id::Ignore) {
            *text = std::string(option->name) + " is given twice";
            return ParseResult::UsageError;
        }
        given.push_back(option->id);
        if (!option->argument && inlineValue) {
            *text = std::string(option->name) + " takes no value";
            return ParseResult::UsageError;
        }
        if (option->argument && !inlineValue) {
            if (i + 1 >= argc) {
                *text = std::string(option->name) + " needs a value: " + option->name + " " + option->argument;
                return ParseResult::UsageError;
            }
            value = argv[++i];
        }
        bool ok = true;
        switch (option->id) {
        case Id::Help: help = true; break;
        case Id::Version: version = true; break;
        case Id::Json: options->format = FindFormat("json"); break;
        case Id::Format: ok = ParseFormat(value, &options->format, text); formatName = value; break;
        case Id::Output: options->output = value; break;
        case Id::Watch: ok = ParseSeconds(value, &options->watchSeconds, text); options->watch = true; break;
        case Id::Count: ok = ParseCount(value, &options->count, text); options->countGiven = true; break;
        case Id::Registry: options->registry = value; break;
        case Id::Scenario: options->scenario = value; break;
        case Id::Dump: options->dumpRegistry = true; break;
        case Id::Reset: options->resetCache = true; break;
        case Id::Plot: options->plot = value; break;
        case Id::Trace: options->trace = true; break;
        case Id::Listen:
            ok = ParseListen(value, &options->listenHost, &options->listenPort, text);
            options->listen = true;
            break;
        case Id::MaxAge: ok = ParseMaxAge(value, &options->maxAgeMs, text); break;
        case Id::Check: options->check = true; break;
        case Id::Warning: ok = ParseRange(value, &options->checkOptions.warning, text); break;
        case Id::Critical: ok = ParseRange(value, &options->checkOptions.critical, text); break;
        case Id::Ignore: ok = ParseIgnore(value, &options->checkOptions.ignore, text); break;
        case Id::Timeout: ok = ParseTimeout(value, &options->checkOptions.timeoutSeconds, text); break;
        case Id::Install: options->service = ServiceCommand::Install; break;
        case Id::Uninstall: options->service = ServiceCommand::Uninstall; break;
        case Id::Service: options->service = ServiceCommand::Run; break;
        }
        if (!ok && (option->id == Id::Warning || option->id == Id::Critical))
            *text = std::string(option->name) + ": " + *text;
        if (!ok)
            return ParseResult::UsageError;
        if ((option->id == Id::Output || option->id == Id::Registry || option->id == Id::Scenario ||
             option->id == Id::Plot) && value.empty()) {
            *text = std::string(option->name) + " needs a file name";
            return ParseResult::UsageError;
        }
    }
    if (help) {
        *text = HelpText(platform);
        return ParseResult::Done;
    }
    if (version) {
        *text = "ktsensors " KTSENSORS_VERSION " (" + platform.machine + ")\n";
        return ParseResult::Done;
    }

    // Options that cannot go together.
    struct Conflict { Id a, b; };
    const Conflict conflicts[] = {
        {Id::Dump, Id::Json}, {Id::Dump, Id::Format}, {Id::Dump, Id::Output}, {Id::Dump, Id::Watch},
        {Id::Dump, Id::Count}, {Id::Dump, Id::Plot}, {Id::Dump, Id::Reset},
        {Id::Plot, Id::Json}, {Id::Plot, Id::Format}, {Id::Plot, Id::Output},
        {Id::Listen, Id::Dump}, {Id::Listen, Id::Plot}, {Id::Listen, Id::Json}, {Id::Listen, Id::Format},
        {Id::Listen, Id::Output}, {Id::Listen, Id::Watch}, {Id::Listen, Id::Count}};
    auto nameOf = [](Id id) {
        for (const OptionInfo &s : kOptions)
            if (s.id == id)
                return s.name;
        return "";
    };
    // The service's --listen goes with its --output and --watch: it serves what it writes.
    bool serviceMode = seen(Id::Install) || seen(Id::Service);
    for (const Conflict &c : conflicts)
        if (seen(c.a) && seen(c.b) && !(serviceMode && c.a == Id::Listen)) {
            *text = std::string(nameOf(c.a)) + " cannot be combined with " + nameOf(c.b);
            return ParseResult::UsageError;
        }
    // --check and the service take only the options that make sense for them.
    struct Allowed { Id mode; std::vector<Id> others; };
    const Allowed allowed[] = {
        {Id::Check, {Id::Scenario, Id::Registry, Id::Reset, Id::Trace, Id::Warning, Id::Critical, Id::Ignore,
                     Id::Timeout}},
        {Id::Install, {Id::Output, Id::Watch, Id::Scenario, Id::Listen}},
        {Id::Service, {Id::Output, Id::Watch, Id::Scenario, Id::Listen}},
        {Id::Uninstall, {}},
    };
    for (const Allowed &a : allowed) {
        if (!seen(a.mode))
            continue;
        for (Id g : given)
            if (g != a.mode && std::find(a.others.begin(), a.others.end(), g) == a.others.end()) {
                *text = std::string(nameOf(a.mode)) + " cannot be combined with " + nameOf(g);
                return ParseResult::UsageError;
            }
    }
    for (Id id : {Id::Warning, Id::Critical, Id::Ignore, Id::Timeout})
        if (seen(id) && !seen(Id::Check)) {
            *text = std::string(nameOf(id)) + " applies to --check only";
            return ParseResult::UsageError;
        }
    if (options->service != ServiceCommand::None) {
        if (options->listen && options->listenPort == 0) {
            *text = "--listen: the service needs a port; http.sys does not choose one";
            return ParseResult::UsageError;
        }
        options->format = FindFormat(kServiceFormat);
        if (!options->watch)
            options->watchSeconds = KT_SERVICE_INTERVAL_SECONDS;
        options->count = 0;
        return ParseResult::Run;
    }
    if (seen(Id::Json) && seen(Id::Format) && formatName != "json") {
        *text = "--json cannot be combined with --format " + formatName;
        return ParseResult::UsageError;
    }
    if (seen(Id::MaxAge) && !options->listen) {
        *text = "--max-age applies to --listen only";
        return ParseResult::UsageError;
    }
    if (!options->plot.empty() && !EndsWith(options->plot, ".svg")) {
        *text = "--plot writes SVG: the file name must end in .svg, got '" + Excerpt(options->plot, 60) + "'";
        return ParseResult::UsageError;
    }
    if (options->watch && !options->countGiven && options->plot.empty())
        options->count = 0;
    return ParseResult::Run;
}

} // namespace ktsensors
