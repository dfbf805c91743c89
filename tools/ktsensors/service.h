// ktsensors as a Windows service: install, uninstall, and the service itself.
#ifndef KTSENSORS_SERVICE_H
#define KTSENSORS_SERVICE_H

#include "options.h"

namespace ktsensors {

// Carries out --install-service, --uninstall-service or --service; returns the exit status.
// Only the Windows build offers these options.
int RunServiceCommand(const Options &options);

// What carries out those options in this build: none on the host, which has no service manager.
#ifdef _WIN32
inline int (*const kServiceCommand)(const Options &options) = RunServiceCommand;
#else
inline int (*const kServiceCommand)(const Options &options) = nullptr;
#endif

} // namespace ktsensors

#endif
