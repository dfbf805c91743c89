// ktsensors as a Windows service: install, uninstall, and the service itself.
#ifndef KTSENSORS_SERVICE_H
#define KTSENSORS_SERVICE_H

#include "options.h"

namespace ktsensors {

// Carries out --install-service, --uninstall-service or --service; returns the exit status.
// Only the Windows build offers these options.
int RunServiceCommand(const Options &options);

} // namespace ktsensors

#endif
