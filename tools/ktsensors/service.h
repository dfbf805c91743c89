// ktsensors as a Windows service: install, uninstall, and the service itself.
#ifndef KTSENSORS_SERVICE_H
#define KTSENSORS_SERVICE_H

#include "options.h"

namespace ktsensors {

// Carries out --install-service, --uninstall-service or --service; returns the exit status.
// Only the Windows build offers these options.
int RunServiceCommand(const Options &options);

// Whether this build offers those options (Windows, which has a service manager), and what
// carries them out there.
#ifdef _WIN32
const bool kHasServiceManager = true;
inline int (*const kServiceCommand)(const Options &options) = RunServiceCommand;
#else
const bool kHasServiceManager = false;
inline int (*const kServiceCommand)(const Options &options) = nullptr;
#endif

} // namespace ktsensors

#endif
