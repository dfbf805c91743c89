// ktsensors.exe's main: libraries only from the system's folder and our own, the arguments as
// the system holds them (UTF-16) turned into UTF-8, then Run.
#include <string>
#include <vector>

#include "tool.h"
#include "wide_windows.h"

int main()
{
    ktsensors::RestrictLibrarySearch();
    std::vector<std::string> arguments = ktsensors::Utf8Arguments();
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    return ktsensors::Run((int)arguments.size(), argv.data());
}
