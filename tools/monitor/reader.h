// Readings on a worker thread: Kovaltherm.dll loaded from the monitor's own folder, its
// exports called every interval, each reading kept for the window and the window told.
#ifndef KOVALTHERM_MONITOR_READER_H
#define KOVALTHERM_MONITOR_READER_H

#include <windows.h>

#include <deque>

#include "model.h"

namespace monitor {

// Posted to the window when a reading waits for it (NextReading); its parameters mean nothing.
const UINT WM_MONITOR_READING = WM_APP + 2;

struct Reader {
    HWND window = nullptr;
    DWORD intervalMs = 2000;
    SRWLOCK lock = SRWLOCK_INIT; // guards `waiting`
    std::deque<Reading> waiting; // taken, not yet handed to the window, oldest first
    HANDLE stop = nullptr;       // set: the worker ends after its current call
    HANDLE wake = nullptr;       // set: the next reading is taken at once
    HANDLE thread = nullptr;
};

// Starts the worker thread; false if it could not be started.
bool StartReader(Reader *reader, HWND window, DWORD intervalMs);

// Takes the oldest reading that waits for the window; false when none does.
bool NextReading(Reader *reader, Reading *reading);

// Asks for a reading now (after a resume from sleep).
void WakeReader(Reader *reader);

// Asks the worker to end after the library call it is in, and waits up to `waitMs` for it;
// true if it ended. A worker still inside a call is left to the process's exit, with the
// library still loaded.
bool StopReader(Reader *reader, DWORD waitMs);

} // namespace monitor

#endif
