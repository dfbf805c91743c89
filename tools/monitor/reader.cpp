// Readings on a worker thread, through the seven exports of Kovaltherm.dll as any
// application calls them.
#include "reader.h"

#include <string>

#include "wide_windows.h"

namespace monitor {

namespace {

const wchar_t kLibraryName[] = L"Kovaltherm.dll";
// Windows' ERROR_DLL_INIT_FAILED: the library's entry point refused to load.
const DWORD kDllInitFailed = 1114;
// Locations and limits change only with another notebook: they are read again after any
// failed call, when the count changes, and every this many readings.
const unsigned kLimitRefreshReadings = 30;

typedef int(__cdecl *CountFunction)(void);
typedef int(__cdecl *QueryFunction)(int, int *);

struct Library {
    HMODULE module = nullptr;
    CountFunction getNumSensors = nullptr;
    QueryFunction getSensorLocation = nullptr;
    QueryFunction readTemperature = nullptr;
    QueryFunction readWarningLimit = nullptr;
    QueryFunction readCriticalLimit = nullptr;
    QueryFunction readTempStatus = nullptr;
};

// What the worker keeps between readings: the library, and each sensor's location and limits.
struct ReaderState {
    Library library;
    std::vector<SensorReading> known;
    unsigned readings = 0;
    bool refresh = true;
};

std::wstring SystemMessage(DWORD code)
{
    wchar_t text[256] = L"";
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                  text, 256, nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L'.'))
        text[--length] = 0;
    return L"error " + std::to_wstring(code) + (length ? L": " + std::wstring(text) : L"");
}

template <class Function> bool Resolve(HMODULE module, const char *name, Function *function)
{
    *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return *function != nullptr;
}

// Loads the library by its full path in this program's folder; false with a one-line reason.
bool Load(Library *library, std::wstring *error)
{
    std::wstring folder = ktsensors::ProgramFolder();
    if (folder.empty()) {
        *error = L"Kovaltherm.dll not loaded: this program's folder is unknown";
        return false;
    }
    std::wstring path = folder + kLibraryName;
    HMODULE module = ktsensors::LoadFromProgramFolder(kLibraryName);
    if (!module) {
        DWORD code = GetLastError();
        if (code == ERROR_MOD_NOT_FOUND || code == ERROR_FILE_NOT_FOUND)
            *error = path + L" is missing";
        else if (code == kDllInitFailed)
            *error = L"Kovaltherm.dll did not start: the qorix thermal driver could not be opened";
        else
            *error = L"Kovaltherm.dll did not load (" + SystemMessage(code) + L")";
        return false;
    }
    Library loaded;
    loaded.module = module;
    if (!Resolve(module, "LMGetNumSensors", &loaded.getNumSensors) ||
        !Resolve(module, "LMGetSensorLocation", &loaded.getSensorLocation) ||
        !Resolve(module, "LMReadTemperature", &loaded.readTemperature) ||
        !Resolve(module, "LMReadWarningLimit", &loaded.readWarningLimit) ||
        !Resolve(module, "LMReadCriticalLimit", &loaded.readCriticalLimit) ||
        !Resolve(module, "LMReadTempStatus", &loaded.readTempStatus)) {
        FreeLibrary(module);
        *error = path + L" lacks the Kovaltherm exports";
        return false;
    }
    *library = loaded;
    return true;
}

// Calls one query; true with its out-value when it returned 1.
bool Ask(QueryFunction query, int ordinal, int *value)
{
    int out = 0;
    if (query(ordinal, &out) != 1)
        return false;
    *value = out;
    return true;
}

// One reading: the count, then each sensor's temperature and status (the status only after a
// temperature: without one it is "no status", and asking would wait on the controller again).
// A reading cut short by `stop` is incomplete; the caller drops it.
Reading Take(ReaderState *state, HANDLE stop)
{
    Reading reading;
    Library &library = state->library;
    if (!library.module && !Load(&library, &reading.detail)) {
        reading.problem = Problem::NotLoaded;
        reading.timeMs = GetTickCount64();
        return reading;
    }
    int count = library.getNumSensors();
    if (count <= 0) {
        reading.problem = Problem::NoSensors;
        reading.timeMs = GetTickCount64();
        state->refresh = true;
        return reading;
    }
    if (state->known.size() != (size_t)count || state->readings % kLimitRefreshReadings == 0)
        state->refresh = true;
    bool refresh = state->refresh;
    state->refresh = false;
    state->known.resize(count);
    ++state->readings;
    for (int i = 0; i < count && WaitForSingleObject(stop, 0) != WAIT_OBJECT_0; ++i) {
        SensorReading &known = state->known[i];
        known.ordinal = i;
        if (refresh) {
            known.haveLocation = Ask(library.getSensorLocation, i, &known.location);
            known.haveWarning = Ask(library.readWarningLimit, i, &known.warningLimit);
            known.haveCritical = Ask(library.readCriticalLimit, i, &known.criticalLimit);
        }
        SensorReading sensor = known;
        sensor.haveTemperature = Ask(library.readTemperature, i, &sensor.temperature);
        if (sensor.haveTemperature)
            sensor.haveStatus = Ask(library.readTempStatus, i, &sensor.status);
        state->refresh = state->refresh || !sensor.haveTemperature || !sensor.haveStatus || !known.haveLocation ||
                         !known.haveWarning || !known.haveCritical;
        reading.sensors.push_back(sensor);
    }
    reading.timeMs = GetTickCount64();
    return reading;
}

DWORD WINAPI Work(void *parameter)
{
    Reader *reader = static_cast<Reader *>(parameter);
    ReaderState state;
    HANDLE events[2] = {reader->stop, reader->wake};
    for (;;) {
        ULONGLONG started = GetTickCount64();
        Reading *reading = new Reading(Take(&state, reader->stop));
        if (WaitForSingleObject(reader->stop, 0) == WAIT_OBJECT_0) {
            delete reading;
            break;
        }
        if (!PostMessageW(reader->window, WM_MONITOR_READING, 0, (LPARAM)reading))
            delete reading;
        ULONGLONG elapsed = GetTickCount64() - started;
        DWORD wait = elapsed >= reader->intervalMs ? 0 : reader->intervalMs - (DWORD)elapsed;
        if (WaitForMultipleObjects(2, events, FALSE, wait) == WAIT_OBJECT_0)
            break;
    }
    if (state.library.module)
        FreeLibrary(state.library.module);
    return 0;
}

} // namespace

bool StartReader(Reader *reader, HWND window, DWORD intervalMs)
{
    reader->window = window;
    reader->intervalMs = intervalMs;
    reader->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    reader->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!reader->stop || !reader->wake)
        return false;
    reader->thread = CreateThread(nullptr, 0, Work, reader, 0, nullptr);
    return reader->thread != nullptr;
}

void WakeReader(Reader *reader)
{
    if (reader->wake)
        SetEvent(reader->wake);
}

bool StopReader(Reader *reader, DWORD waitMs)
{
    if (!reader->thread)
        return true;
    SetEvent(reader->stop);
    return WaitForSingleObject(reader->thread, waitMs) == WAIT_OBJECT_0;
}

} // namespace monitor
