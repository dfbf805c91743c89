// Readings on a worker thread, through the seven exports of Kovaltherm.dll as any
// application calls them, with the machine's sensor configuration read again before each.
#include "reader.h"

#include <string>

#include "error_text_windows.h"
#include "library_windows.h"
#include "reading.h"
#include "sensor_config.h"
#include "wide_windows.h"

namespace monitor {

namespace {

// Readings the window has not taken yet are kept up to this many, the oldest dropped first.
const size_t kMostWaitingReadings = 16;

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

// One reading, or why the library is not there to take one, after the sensor configuration is
// read again: a change of the file or the policy applies from this reading on.
Reading Take(ktsensors::LoadedLibrary *library, ktsensors::SensorConfigSource *config, ReadingState *state,
             HANDLE stop)
{
    config->Refresh();
    auto inUse = std::make_shared<ConfigInUse>();
    inUse->current = config->Current();
    inUse->file = config->FileConfig();
    inUse->policy = config->PolicyConfig();
    Reading reading;
    std::wstring detail;
    if (library->module || Load(library, &detail))
        reading = TakeReading(library->exports, inUse->current, state,
                              [stop] { return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; });
    else {
        reading.problem = Problem::NotLoaded;
        reading.detail = detail;
    }
    reading.timeMs = GetTickCount64();
    reading.configProblem = ktsensors::Wide(config->Problem());
    reading.config = inUse;
    return reading;
}

// Hands a reading to the window: kept for it, and the window told that one waits. The message
// carries nothing: another program can post it too.
void Hand(Reader *reader, Reading reading)
{
    AcquireSRWLockExclusive(&reader->lock);
    reader->waiting.push_back(std::move(reading));
    if (reader->waiting.size() > kMostWaitingReadings)
        reader->waiting.pop_front();
    ReleaseSRWLockExclusive(&reader->lock);
    PostMessageW(reader->window, WM_MONITOR_READING, 0, 0);
}

DWORD WINAPI Work(void *parameter)
{
    Reader *reader = static_cast<Reader *>(parameter);
    ktsensors::LoadedLibrary library;
    // The machine's file (%ProgramData%\Kovaltherm\sensors.conf) and the Group Policy, for
    // the life of the program.
    ktsensors::SensorConfigSource config;
    ReadingState state;
    HANDLE events[2] = {reader->stop, reader->wake};
    for (;;) {
        ULONGLONG started = GetTickCount64();
        Reading reading = Take(&library, &config, &state, reader->stop);
        if (WaitForSingleObject(reader->stop, 0) == WAIT_OBJECT_0)
            break;
        Hand(reader, std::move(reading));
        ULONGLONG elapsed = GetTickCount64() - started;
        DWORD wait = elapsed >= reader->intervalMs ? 0 : reader->intervalMs - (DWORD)elapsed;
        if (WaitForMultipleObjects(2, events, FALSE, wait) == WAIT_OBJECT_0)
            break;
    }
    ktsensors::UnloadKovaltherm(&library);
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

bool NextReading(Reader *reader, Reading *reading)
{
    AcquireSRWLockExclusive(&reader->lock);
    bool any = !reader->waiting.empty();
    if (any) {
        *reading = std::move(reader->waiting.front());
        reader->waiting.pop_front();
    }
    ReleaseSRWLockExclusive(&reader->lock);
    return any;
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
