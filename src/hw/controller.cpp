// The embedded controller's command exchange and the temperature read.
#include "hw/controller.h"

#include "cache/store.h"
#include "frame/trace.h"
#include "hw/driver.h"
#include "hw/machine_mutex.h"
#include "hw/wait.h"

namespace {

HANDLE g_controllerMutex;
const char *g_controllerMutexName;

// Returns TRUE if the controller reports busy or its busy indication cannot be read.
BOOL ControllerReportsBusy(void)
{
    BYTE busy;
    return !TryControllerBusy(&busy) || busy;
}

} // namespace

void OpenControllerMutex(BOOL withDescriptor)
{
    g_controllerMutex = OpenMachineMutex(CONTROLLER_MUTEX_GLOBAL_NAME, CONTROLLER_MUTEX_LOCAL_NAME,
                                         withDescriptor, &g_controllerMutexName);
}

void CloseControllerMutex(void) { CloseMachineMutex(&g_controllerMutex); }

void WriteControllerCommand(BYTE base, BYTE code)
{
    BYTE command[CONTROLLER_COMMAND_LENGTH] = {(BYTE)(base | code), 0, 0, 0, 0};
    for (int i = 0; i < CONTROLLER_COMMAND_LENGTH; ++i)
        WriteControllerByte((BYTE)(CONTROLLER_COMMAND_INDEX + i), command[i]);
}

// A failed busy poll counts as busy, and a failed byte read fails its attempt: the driver
// leaves the request's own bytes in a failed answer, which would otherwise pass for a
// ready controller or a temperature. The timer resolution is raised (where waits fall back to
// Sleep) from before the command until after the release, on every path. Another program
// inside its own exchange would see our command in the middle of it, so without the mutex
// the read fails as a failed attempt does, before any request.
WORD ReadControllerBlock(BYTE code, BYTE block[CONTROLLER_ANSWER_LENGTH])
{
    int wait = AcquireMachineMutex(g_controllerMutex, CONTROLLER_MUTEX_WAIT_MS);
    if (MachineMutexRefused(wait)) {
        TraceLockRefused(TRACE_CONTROLLER_LOCK, g_controllerMutexName, CONTROLLER_MUTEX_WAIT_MS,
                         wait == MACHINE_MUTEX_TIMED_OUT);
        return TraceBlockRead(BLOCK_NO_ANSWER);
    }
    RaiseTimerResolution();
    WriteControllerCommand(CONTROLLER_COMMAND_BASE, code);
    WORD result = BLOCK_NO_ANSWER;
    for (int attempt = 0; attempt < BLOCK_READ_ATTEMPTS; ++attempt) {
        if (ControllerReportsBusy()) {
            TraceBlockAttempt(TRACE_ATTEMPT_BUSY);
            WaitMilliseconds(BUSY_WAIT_MS);
            continue;
        }
        BOOL allRead = TRUE;
        for (int i = 0; i < CONTROLLER_ANSWER_LENGTH; ++i) {
            if (!TryReadControllerByte((BYTE)(CONTROLLER_ANSWER_INDEX + i), &block[i]))
                allRead = FALSE;
            WaitMilliseconds(ANSWER_BYTE_WAIT_MS);
        }
        if (ControllerReportsBusy()) {
            TraceBlockAttempt(TRACE_ATTEMPT_BUSY);
            WaitMilliseconds(BUSY_WAIT_MS);
            continue;
        }
        if (allRead && (block[0] & CONTROLLER_ECHO_MASK) == code) {
            result = BLOCK_ANSWERED;
            break;
        }
        // A wrong echo or a failed read: the next attempt follows at once.
        TraceBlockAttempt(allRead ? TRACE_ATTEMPT_WRONG_ECHO : TRACE_ATTEMPT_UNREADABLE);
    }
    WriteControllerCommand(CONTROLLER_COMMAND_BASE, CONTROLLER_RELEASE_CODE);
    RestoreTimerResolution();
    ReleaseMachineMutex(g_controllerMutex, wait);
    return TraceBlockRead(result);
}

int ReadSensorTemperature(int ordinal)
{
    BYTE block[CONTROLLER_ANSWER_LENGTH] = {0};
    WORD result = ReadControllerBlock(TEMPERATURE_COMMAND, block);
    for (int retry = 0; result == BLOCK_NO_ANSWER && retry < TEMPERATURE_RETRY_LIMIT; ++retry) {
        WaitMilliseconds(BLOCK_RETRY_WAIT_MS);
        result = ReadControllerBlock(TEMPERATURE_COMMAND, block);
    }
    if (result != BLOCK_ANSWERED)
        return NO_TEMPERATURE;
    // The block is read before the mapping is looked up. Byte i + 1 carries physical sensor
    // i; sensors 7 and 8 have no byte and read as none.
    int index = OrdinalToIndex(ordinal);
    if (index < 0 || index + 1 >= CONTROLLER_ANSWER_LENGTH)
        return NO_TEMPERATURE;
    return block[index + 1];
}
