// Readings on a worker thread, through the seven exports of Kovaltherm.dll as any
// application calls them.
#include "reader.h"

#include <string>

#include "error_text_windows.h"
#include "library_windows.h"
#include "wide_windows.h"

namespace monitor {

namespace {

// Locations and limits change only with another notebook: they are read again after any
// failed call, when the count changes, and every this many readings.
const unsigned kLimitRefreshReadings = 30;

typedef int(KOVALTHERM_CDECL *QueryFunction)(int, int *);

// What the worker keeps between readings: the library, and each sensor's location and limits.
struct ReaderState {
    ktsensors::LoadedLibrary library;
    std::vector<SensorReading> known;
    unsigned readings = 0;
    bool refresh = true;
};

// Loads the library by its full path in this program's folder (library_windows.h); false with
// a one-line reason.
bool Load(ktsensors::LoadedLibrary *library, std::wstring *error)
{
    std::wstring folder = ktsensors::ProgramFolder();
    if (folder.empty()) {
        *error = L"Kovaltherm.dll not loaded: this program's folder is unknown";
        return false;
    }
    if (ktsensors::LoadKovaltherm(library))
        return true;
    std::wstring path = folder + ktsensors::kLibraryFileName;
    DWORD code = library->error;
    if (library->missingExport)
        *error = path + L" lacks the Kovaltherm exports";
    else if (code == ERROR_MOD_NOT_FOUND || code == ERROR_FILE_NOT_FOUND)
        *error = path + L" is missing";
    else if (code == ktsensors::kLibraryInitFailed)
        *error = L"Kovaltherm.dll did not start: the qorix thermal driver could not be opened";
    else
        *error = L"Kovaltherm.dll did not load (" + ktsensors::Wide(ktsensors::ErrorText(code)) + L")";
    return false;
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
    const ktsensors::Exports &library = state->library.exports;
    if (!state->library.module && !Load(&state->library, &reading.detail)) {
        reading.problem = Problem::NotLoaded;
        reading.timeMs = GetTickCount64();
        return reading;
    }
    int count = library.GetNumSensors();
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
            known.haveLocation = Ask(library.GetSensorLocation, i, &known.location);
            known.haveWarning = Ask(library.ReadWarningLimit, i, &known.warningLimit);
            known.haveCritical = Ask(library.ReadCriticalLimit, i, &known.criticalLimit);
        }
        SensorReading sensor = known;
        sensor.haveTemperature = Ask(library.ReadTemperature, i, &sensor.temperature);
        if (sensor.haveTemperature)
            sensor.haveStatus = Ask(library.ReadTempStatus, i, &sensor.status);
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
    ktsensors::UnloadKovaltherm(&state.library);
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
