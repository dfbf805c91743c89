// What both installers of the Windows service (ktsensors.exe --install-service and the MSI's
// custom actions) give the service manager: the command line, built from checked parts only,
// and the restarts after a failure.
#ifndef KOVALTHERM_CLIENT_SERVICE_SETUP_WINDOWS_H
#define KOVALTHERM_CLIENT_SERVICE_SETUP_WINDOWS_H

#include <windows.h>

#include <string>

namespace ktsensors {

// The service's arguments: the textfile's path (and the scenario's, when given) in quotes, the
// interval as `seconds` ("30"), --listen with `listen` ("0.0.0.0:9757") when given. Each part
// must have been checked: paths by CheckTextfile (no quote, no %), the interval as digits, the
// address as --listen parses it.
std::wstring ServiceArguments(const std::string &seconds, const std::wstring &textfile, const std::wstring &scenario,
                              const std::string &listen);

// The service's command line: the program's path in quotes, then ServiceArguments.
std::wstring ServiceCommandLine(const std::wstring &exe, const std::string &seconds, const std::wstring &textfile,
                                const std::wstring &scenario, const std::string &listen);

// Sets the service's restarts after a failure (10 s, 10 s, 60 s; the count reset after a day),
// also after it stopped itself with an error where the service manager supports that. True with
// *holds saying what holds, in a line an administrator reads ("the service Kovaltherm restarts
// ..."); false with the error in *holds.
bool ConfigureRestarts(SC_HANDLE service, std::string *holds);

} // namespace ktsensors

#endif
