// ktsensors' entry, shared by every build.
#ifndef KTSENSORS_TOOL_H
#define KTSENSORS_TOOL_H

#include <string>

namespace ktsensors {

// Runs the tool with the command line; returns the exit status (0, 1 or 2).
int Run(int argc, char **argv);

// Writes "ktsensors: `message`" as one line on standard error; returns `code`.
int Complain(int code, const std::string &message);

} // namespace ktsensors

#endif
