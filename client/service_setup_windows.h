// What both installers of the Windows service (ktsensors.exe --install-service and the MSI's
// custom actions) give the service manager besides its command line (service_rules.h): the
// restarts after a failure.
#ifndef KOVALTHERM_CLIENT_SERVICE_SETUP_WINDOWS_H
#define KOVALTHERM_CLIENT_SERVICE_SETUP_WINDOWS_H

#include <windows.h>

#include <string>

namespace ktsensors {

// Sets the service's restarts after a failure (10 s, 10 s, 60 s; the count reset after a day),
// also after it stopped itself with an error where the service manager supports that. True with
// *holds saying what holds, in a line an administrator reads ("the service Kovaltherm restarts
// ..."); false with the error in *holds.
bool ConfigureRestarts(SC_HANDLE service, std::string *holds);

} // namespace ktsensors

#endif
