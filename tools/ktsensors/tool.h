// ktsensors' entry, shared by every build.
#ifndef KTSENSORS_TOOL_H
#define KTSENSORS_TOOL_H

namespace ktsensors {

// Runs the tool with the command line; returns the exit status (0, 1 or 2).
int Run(int argc, char **argv);

} // namespace ktsensors

#endif
