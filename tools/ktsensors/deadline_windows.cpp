// The watchdog's thread, signal and end on Windows.
#include "deadline.h"

#include <windows.h>

namespace ktsensors {

namespace {

// The thread's entry: the deadline's loop.
DWORD WINAPI RunWatch(void *deadline)
{
    Deadline::RunWatchOf(deadline);
    return 0;
}

} // namespace

struct Deadline::Platform {
    HANDLE thread = nullptr;
    HANDLE cancelled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

Deadline::Deadline() : platform_(new Platform) {}

Deadline::~Deadline()
{
    Cancel();
    if (platform_->cancelled)
        CloseHandle(platform_->cancelled);
}

void Deadline::StartThread()
{
    platform_->thread = CreateThread(nullptr, 0, RunWatch, this, 0, nullptr);
}

bool Deadline::WaitForCancel(uint64_t ms)
{
    return WaitForSingleObject(platform_->cancelled, ms < INFINITE ? (DWORD)ms : INFINITE - 1) == WAIT_OBJECT_0;
}

void Deadline::SignalCancel() { SetEvent(platform_->cancelled); }

void Deadline::JoinThread()
{
    if (!platform_->thread)
        return;
    WaitForSingleObject(platform_->thread, INFINITE);
    CloseHandle(platform_->thread);
    platform_->thread = nullptr;
}

uint64_t Deadline::NowMs() { return GetTickCount64(); }

// TerminateProcess rather than ExitProcess: no DLL detach, whose library would wait for the lock
// its abandoned call holds. The system then counts the named mutex as abandoned.
void Deadline::EndProcess(int exitCode)
{
    TerminateProcess(GetCurrentProcess(), (UINT)exitCode);
    for (;;)
        Sleep(INFINITE);
}

} // namespace ktsensors
