// Starts two threads that count together, and exits 0 if both ran. Under an emulated Wine
// a process with several threads may crash; the Wine harness runs this first to tell such a
// machine apart from a failing test.
#include <windows.h>

#include <stdio.h>

namespace {

volatile LONG g_counter;
HANDLE g_finish;

DWORD WINAPI Count(LPVOID started)
{
    for (int i = 0; i < 1000; ++i) {
        InterlockedIncrement(&g_counter);
        if (i % 100 == 0)
            Sleep(1);
    }
    SetEvent(static_cast<HANDLE>(started));
    WaitForSingleObject(g_finish, INFINITE);
    return 0;
}

} // namespace

int main()
{
    const int threads = 2;
    HANDLE done[threads];
    g_finish = CreateEventA(NULL, TRUE, FALSE, NULL);
    for (int i = 0; i < threads; ++i) {
        done[i] = CreateEventA(NULL, TRUE, FALSE, NULL);
        HANDLE thread = CreateThread(NULL, 0, Count, done[i], 0, NULL);
        if (!thread)
            return 1;
        CloseHandle(thread);
    }
    WaitForMultipleObjects(threads, done, TRUE, INFINITE);
    printf("threads counted %ld\n", (long)g_counter);
    fflush(stdout);
    ExitProcess(g_counter == threads * 1000 ? 0 : 1);
}
