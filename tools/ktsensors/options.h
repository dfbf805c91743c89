// ktsensors' command line.
#ifndef KTSENSORS_OPTIONS_H
#define KTSENSORS_OPTIONS_H

#include <stdint.h>

#include <string>

#include "check.h"
#include "excerpt.h"
#include "formats.h"
#include "listen_rules.h"

namespace ktsensors {

// The Windows service: none, install it, remove it, or run as it (for the service manager).
enum class ServiceCommand { None, Install, Uninstall, Run };

struct Options {
    const Format *format = &kFormats[0];
    std::string output;        // file each reading replaces atomically; "" = standard output
    double watchSeconds = 0;   // interval between readings; 0 = back to back
    bool watch = false;
    uint64_t count = 1;        // readings to take; 0 = until interrupted
    bool countGiven = false;
    std::string registry;      // registry file (host); "" = the default
    std::string scenario;      // scenario file; "" = the default notebook
    bool dumpRegistry = false;
    bool resetCache = false;
    std::string plot;          // SVG file to write; "" = no plot
    bool trace = false;        // the library's diagnostic lines on stderr
    bool listen = false;       // serve readings over HTTP (--listen)
    std::string listenHost = KT_LISTEN_DEFAULT_HOST; // numeric address to listen on; IPv6 without brackets
    int listenPort = 0;        // 0: a free port the system picks (host build)
    uint64_t maxAgeMs = 1000;  // --max-age: oldest reading a scrape is answered from
    bool check = false;        // --check: one monitoring-plugin line and its exit code
    CheckOptions checkOptions; // --warning, --critical, --ignore
    ServiceCommand service = ServiceCommand::None;
};

// What the platform's build offers besides the common options.
struct Platform {
    std::string machine;       // a short description for --help and --version
    bool registryFile = false; // --registry: the registry is a file of our own
    bool service = false;      // --install-service and the like: a Windows service
};

enum class ParseResult { Run, Done, UsageError };

// Longest --max-age, in seconds: an hour.
const double kMaxMaxAgeSeconds = 60 * 60;
// Most readings --count takes.
const uint64_t kMaxCount = uint64_t(1) << 40;

// Parses the command line into `options`. Done: help or version was asked for and `*text`
// holds it; UsageError: `*text` holds a one-line message.
ParseResult ParseOptions(int argc, char **argv, const Platform &platform, Options *options,
                         std::string *text);

// Seconds as --watch takes them and the service's command line and events write them ("0.5",
// "30"): the shortest decimal, without an exponent, that reads back as the same number.
std::string SecondsText(double seconds);

// The --help text.
std::string HelpText(const Platform &platform);

} // namespace ktsensors

#endif
