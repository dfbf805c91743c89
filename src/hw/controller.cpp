// The embedded controller's command exchange.
#include "hw/controller.h"

#include "hw/driver.h"
#include "hw/machine_mutex.h"
#include "hw/wait.h"

namespace {

HANDLE g_controllerMutex;
const char *g_controllerMutexName;

// Writes the five command bytes: base | code, then zeros.
void WriteControllerCommand(BYTE base, BYTE code)
{
    BYTE command[CONTROLLER_COMMAND_LENGTH] = {(BYTE)(base | code), 0, 0, 0, 0};
    for (int i = 0; i < CONTROLLER_COMMAND_LENGTH; ++i)
        WriteControllerByte((BYTE)(CONTROLLER_COMMAND_INDEX + i), command[i]);
}

// Returns TRUE if the controller reports busy or its busy indication cannot be read.
BOOL ControllerReportsBusy(void)
{
    BYTE busy;
    return !ControllerBusy(&busy) || busy;
}

} // namespace

void OpenControllerMutex(BOOL withDescriptor)
{
    g_controllerMutex = OpenMachineMutex(CONTROLLER_MUTEX_GLOBAL_NAME, CONTROLLER_MUTEX_LOCAL_NAME,
                                         withDescriptor, &g_controllerMutexName);
}

void CloseControllerMutex(void) { CloseMachineMutex(&g_controllerMutex); }

// A failed busy poll counts as busy, and a failed byte read fails its attempt: the driver
// leaves the request's own bytes in a failed answer, which would otherwise pass for a
// ready controller or a temperature. The timer resolution is raised (where waits fall back to
// Sleep) from before the command until after the release, on every path. Another program
// inside its own exchange would see our command in the middle of it, so without the mutex
// the read fails as a failed attempt does, before any request.
WORD ReadControllerBlock(BYTE code, BYTE block[CONTROLLER_ANSWER_LENGTH], BlockReads *reads)
{
    int wait = AcquireMachineMutex(g_controllerMutex, CONTROLLER_MUTEX_WAIT_MS);
    if (MachineMutexRefused(wait)) {
        reads->mutexWait = RefusedWait(g_controllerMutexName, CONTROLLER_MUTEX_WAIT_MS, wait);
        ++reads->withoutMutex;
        ++reads->failed;
        return BLOCK_NO_ANSWER;
    }
    RaiseTimerResolution();
    WriteControllerCommand(CONTROLLER_COMMAND_BASE, code);
    WORD result = BLOCK_NO_ANSWER;
    for (int attempt = 0; attempt < BLOCK_READ_ATTEMPTS && result != BLOCK_ANSWERED; ++attempt) {
        if (ControllerReportsBusy()) {
            ++reads->busy;
            WaitMilliseconds(BUSY_WAIT_MS);
            continue;
        }
        BOOL allRead = TRUE;
        for (int i = 0; i < CONTROLLER_ANSWER_LENGTH; ++i) {
            if (!ReadControllerByte((BYTE)(CONTROLLER_ANSWER_INDEX + i), &block[i]))
                allRead = FALSE;
            WaitMilliseconds(ANSWER_BYTE_WAIT_MS);
        }
        if (ControllerReportsBusy()) {
            ++reads->busy;
            WaitMilliseconds(BUSY_WAIT_MS);
        } else if (allRead && (block[0] & CONTROLLER_ECHO_MASK) == code) {
            result = BLOCK_ANSWERED;
        } else {
            // A wrong echo or a failed read: the next attempt follows at once.
            ++(allRead ? reads->wrongEcho : reads->unreadable);
        }
    }
    WriteControllerCommand(CONTROLLER_COMMAND_BASE, CONTROLLER_RELEASE_CODE);
    RestoreTimerResolution();
    ReleaseMachineMutex(g_controllerMutex, wait);
    reads->failed += result != BLOCK_ANSWERED;
    return result;
}
