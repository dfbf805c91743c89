// ktsensors' command line.
#ifndef KTSENSORS_OPTIONS_H
#define KTSENSORS_OPTIONS_H

#include <stdint.h>

#include <string>

namespace ktsensors {

struct Options {
    bool json = false;
    double watchSeconds = 0;   // interval between readings; 0 = back to back
    bool watch = false;
    uint64_t count = 1;        // readings to take; 0 = until interrupted
    bool countGiven = false;
    std::string registry;      // registry file (host); "" = the default
    std::string scenario;      // scenario file; "" = the default notebook
    bool dumpRegistry = false;
    std::string plot;          // SVG file to write; "" = no plot
    bool trace = false;        // the library's diagnostic lines on stderr
};

enum class ParseResult { Run, Done, UsageError };

// Parses the command line into `options`. Done: help or version was asked for and `*text`
// holds it; UsageError: `*text` holds a one-line message.
ParseResult ParseOptions(int argc, char **argv, const std::string &machine, Options *options,
                         std::string *text);

} // namespace ktsensors

#endif
