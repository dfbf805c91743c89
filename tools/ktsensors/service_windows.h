// ktsensors.exe as a Windows service, in two parts: installing and removing it
// (service_install_windows.cpp) and the service itself (service_run_windows.cpp). Its names,
// command line, restarts, the check of the folders it runs from and writes to, its textfile and
// its URL reservation are client/'s, which the MSI's custom actions share.
#ifndef KTSENSORS_SERVICE_WINDOWS_H
#define KTSENSORS_SERVICE_WINDOWS_H

#include <windows.h>

#include <string>

#include "options.h"

namespace ktsensors {

// A stop ends within this long of the request, whatever other programs do with the library.
const DWORD kServiceStopBoundMs = 10000;

// windows_exporter's textfile folder with our file name, under the 64-bit Program Files
// folder also for the 32-bit build (whose %ProgramFiles% names the x86 one).
std::string DefaultOutput();

// --install-service: registers and starts the service, or brings an installed one to the
// options given and restarts it; returns the exit status.
int InstallService(const Options &options);

// --uninstall-service: stops and removes the service, its event source and its file.
int UninstallService();

// --service: runs as the service, for the service manager; returns the exit status.
int RunAsService(const Options &options);

} // namespace ktsensors

#endif
