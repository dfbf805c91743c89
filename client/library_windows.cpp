// Kovaltherm.dll loaded by its full path, and its exports looked up.
#include "library_windows.h"

#include "wide_windows.h"

namespace ktsensors {

const wchar_t kLibraryFileName[] = L"Kovaltherm.dll";

namespace {

// Looks up one export of the loaded library; false, naming it in *missing, when it has none.
template <class Function> bool Resolve(HMODULE module, const char *name, Function *function, const char **missing)
{
    *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    if (!*function)
        *missing = name;
    return *function != nullptr;
}

} // namespace

bool LoadKovaltherm(LoadedLibrary *library)
{
    *library = LoadedLibrary();
    HMODULE module = LoadFromProgramFolder(kLibraryFileName);
    if (!module) {
        library->error = GetLastError();
        return false;
    }
    Exports &exports = library->exports;
    const char **missing = &library->missingExport;
    if (!Resolve(module, "LMGetNumSensors", &exports.GetNumSensors, missing) ||
        !Resolve(module, "LMGetSensorLocation", &exports.GetSensorLocation, missing) ||
        !Resolve(module, "LMReadTemperature", &exports.ReadTemperature, missing) ||
        !Resolve(module, "LMReadWarningLimit", &exports.ReadWarningLimit, missing) ||
        !Resolve(module, "LMReadCriticalLimit", &exports.ReadCriticalLimit, missing) ||
        !Resolve(module, "LMReadTempStatus", &exports.ReadTempStatus, missing) ||
        !Resolve(module, "ShutdownLibrary", &exports.Shutdown, missing)) {
        FreeLibrary(module);
        exports = Exports();
        return false;
    }
    library->module = module;
    return true;
}

void UnloadKovaltherm(LoadedLibrary *library)
{
    if (library->module)
        FreeLibrary(library->module);
    *library = LoadedLibrary();
}

} // namespace ktsensors
