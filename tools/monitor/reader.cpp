// Readings on a worker thread, through the seven exports of Kovaltherm.dll as any
// application calls them.
#include "reader.h"

#include <string>

#include "reading.h"
#include "wide_windows.h"

namespace monitor {

namespace {

const wchar_t kLibraryName[] = L"Kovaltherm.dll";
// Windows' ERROR_DLL_INIT_FAILED: the library's entry point refused to load.
const DWORD kDllInitFailed = 1114;
// Readings the window has not taken yet are kept up to this many, the oldest dropped first.
const size_t kMostWaitingReadings = 16;

struct Library {
    HMODULE module = nullptr;
    ktsensors::Exports exports;
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
    if (!Resolve(module, "LMGetNumSensors", &loaded.exports.GetNumSensors) ||
        !Resolve(module, "LMGetSensorLocation", &loaded.exports.GetSensorLocation) ||
        !Resolve(module, "LMReadTemperature", &loaded.exports.ReadTemperature) ||
        !Resolve(module, "LMReadWarningLimit", &loaded.exports.ReadWarningLimit) ||
        !Resolve(module, "LMReadCriticalLimit", &loaded.exports.ReadCriticalLimit) ||
        !Resolve(module, "LMReadTempStatus", &loaded.exports.ReadTempStatus)) {
        FreeLibrary(module);
        *error = path + L" lacks the Kovaltherm exports";
        return false;
    }
    *library = loaded;
    return true;
}

// One reading, or why the library is not there to take one.
Reading Take(Library *library, ReadingState *state, HANDLE stop)
{
    Reading reading;
    if (library->module || Load(library, &reading.detail))
        reading = TakeReading(library->exports, state, [stop] { return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; });
    else
        reading.problem = Problem::NotLoaded;
    reading.timeMs = GetTickCount64();
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
    Library library;
    ReadingState state;
    HANDLE events[2] = {reader->stop, reader->wake};
    for (;;) {
        ULONGLONG started = GetTickCount64();
        Reading reading = Take(&library, &state, reader->stop);
        if (WaitForSingleObject(reader->stop, 0) == WAIT_OBJECT_0)
            break;
        Hand(reader, std::move(reading));
        ULONGLONG elapsed = GetTickCount64() - started;
        DWORD wait = elapsed >= reader->intervalMs ? 0 : reader->intervalMs - (DWORD)elapsed;
        if (WaitForMultipleObjects(2, events, FALSE, wait) == WAIT_OBJECT_0)
            break;
    }
    if (library.module)
        FreeLibrary(library.module);
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
