// Opt-in diagnostics: the per-call record, the line built from it, and where it goes.
#include "frame/trace.h"

#include "hw/firmware.h"

int g_traceMode;

namespace {

// A wait for a machine-wide mutex that did not give it.
struct TraceLockWait {
    LPCSTR name;
    DWORD ms;
    int timedOut;
    DWORD error;        // when the wait failed
};

// What one export call went through. Exports are serialised, so one record serves them all.
struct TraceRecord {
    int exportOrdinal;
    int sensor;
    int phase;
    int count;          // the stored count, for an out-of-range ordinal
    int rebuilding;     // inside a rebuild: reads are the rebuild's own, not the cause
    // The first registry read that failed or found another type, outside a rebuild.
    int readKey;        // key of the value read (TRACE_THERMAL_KEY or a sensor index)
    int openedKey;      // key opened last
    LPCSTR readValue;   // null when the key itself failed to open
    LSTATUS readStatus;
    DWORD readType;
    int haveRead;
    // Block reads.
    int blockReads;
    int blockFailures;
    int busy;
    int wrongEcho;
    int unreadable;
    int lockRefused;    // block reads without the controller's mutex
    TraceLockWait controllerLock; // the last of those
    TraceLockWait libraryLock;    // the call's own, for TRACE_LOCKED_OUT
    // Driver requests.
    DWORD requestCode;
    DWORD requestError;
    int failedRequests;
    // The last rebuild.
    int rebuilds;
    int rebuildEnded;
    int stopKind;       // STOP_*
    int stopIndex;      // the sensor at which it stopped, or -1
    LSTATUS stopStatus;
    WORD infoResult;
    int limitsIndex;    // first sensor without limits, or -1
    WORD limitsResult;
    LPCSTR writeValue;  // first value write that failed, or null
    LSTATUS writeStatus;
    int createIndex;    // key of the last failed creation
    LSTATUS createStatus;
};

enum { STOP_NONE, STOP_THERMAL_KEY, STOP_SENSOR_INFO, STOP_NO_INFORMATION, STOP_PRESENCE,
       STOP_COUNT };

// The lines are short; the buffer leaves room for the longest names and numbers.
enum { LINE_SIZE = 1024, VALUE_BUFFER_SIZE = 16, NO_INDEX = -2 };

const char LINE_PREFIX[] = "kovaltherm: ";
const char STDERR_VALUE[] = "stderr";

const char *const EXPORT_NAMES[] = {
    "", "LMGetNumSensors", "LMGetSensorLocation", "LMReadCriticalLimit", "LMReadTempStatus",
    "LMReadTemperature", "LMReadWarningLimit",
};

TraceRecord g_record;
char g_line[LINE_SIZE];

// Zeroes the record.
void ClearRecord(void)
{
    g_record = TraceRecord();
    g_record.stopIndex = -1;
    g_record.limitsIndex = -1;
    g_record.openedKey = NO_INDEX;
    g_record.createIndex = NO_INDEX;
}

// Returns 1 if the strings are equal, ignoring ASCII case.
int EqualsIgnoringCase(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        char x = (char)(*a >= 'A' && *a <= 'Z' ? *a + 32 : *a);
        char y = (char)(*b >= 'A' && *b <= 'Z' ? *b + 32 : *b);
        if (x != y)
            return 0;
        if (!x)
            return 1;
    }
}

// Appends formatted text to the line at `*pos`.
void Append(int *pos, const char *text) { *pos += wsprintfA(g_line + *pos, "%s", text); }

// Appends a key's name: "Thermal" or "Sensor <i>".
void AppendKey(int *pos, int index)
{
    if (index == TRACE_THERMAL_KEY)
        *pos += wsprintfA(g_line + *pos, "\"Thermal\"");
    else
        *pos += wsprintfA(g_line + *pos, "\"Sensor %d\"", index);
}

// Appends the first registry read problem.
void AppendRead(int *pos)
{
    const TraceRecord &r = g_record;
    if (!r.readValue) {
        if (r.readStatus == ERROR_FILE_NOT_FOUND) {
            Append(pos, "key ");
            AppendKey(pos, r.readKey);
            Append(pos, " missing");
        } else {
            *pos += wsprintfA(g_line + *pos, "registry error %d opening ", (int)r.readStatus);
            AppendKey(pos, r.readKey);
        }
        return;
    }
    if (r.readStatus == ERROR_SUCCESS) {
        *pos += wsprintfA(g_line + *pos, "\"%s\" in ", r.readValue);
        AppendKey(pos, r.readKey);
        *pos += wsprintfA(g_line + *pos, " is of type %d, not REG_DWORD", (int)r.readType);
    } else if (r.readStatus == ERROR_FILE_NOT_FOUND) {
        *pos += wsprintfA(g_line + *pos, "\"%s\" missing in ", r.readValue);
        AppendKey(pos, r.readKey);
    } else if (r.readStatus == ERROR_MORE_DATA) {
        *pos += wsprintfA(g_line + *pos, "\"%s\" in ", r.readValue);
        AppendKey(pos, r.readKey);
        Append(pos, " too long");
    } else {
        *pos += wsprintfA(g_line + *pos, "registry error %d reading \"%s\" in ",
                          (int)r.readStatus, r.readValue);
        AppendKey(pos, r.readKey);
    }
}

// Appends how a wait for a mutex ended.
void AppendLockWait(int *pos, const TraceLockWait &wait)
{
    if (wait.timedOut)
        *pos += wsprintfA(g_line + *pos, "the wait for \"%s\" timed out after %u ms", wait.name,
                          (unsigned)wait.ms);
    else
        *pos += wsprintfA(g_line + *pos, "the wait for \"%s\" failed with error %d", wait.name,
                          (int)wait.error);
}

// Appends the phase and its cause.
void AppendPhase(int *pos)
{
    const TraceRecord &r = g_record;
    switch (r.phase) {
    case TRACE_NO_SUPPORT:
        Append(pos, "no thermal support");
        return;
    case TRACE_OUT_OF_RANGE:
        *pos += wsprintfA(g_line + *pos, "ordinal not among the %d present sensors", r.count);
        return;
    case TRACE_COUNT_UNREADABLE:
        Append(pos, "sensor count unreadable");
        break;
    case TRACE_NOT_MAPPED:
        Append(pos, "sensor maps to no present sensor");
        break;
    case TRACE_NO_TEMPERATURE:
        Append(pos, "no temperature");
        if (r.blockFailures) {
            *pos += wsprintfA(g_line + *pos,
                              ": %d block read%s failed, %d attempts: %d busy, %d wrong echo, "
                              "%d unreadable",
                              r.blockFailures, r.blockFailures == 1 ? "" : "s",
                              r.busy + r.wrongEcho + r.unreadable + r.lockRefused, r.busy,
                              r.wrongEcho, r.unreadable);
            if (r.lockRefused) {
                *pos += wsprintfA(g_line + *pos, ", %d without the controller mutex (",
                                  r.lockRefused);
                AppendLockWait(pos, r.controllerLock);
                Append(pos, ")");
            }
            return;
        }
        break;
    case TRACE_LOCKED_OUT:
        Append(pos, "library mutex not acquired: ");
        AppendLockWait(pos, r.libraryLock);
        return;
    case TRACE_LIMIT_UNREADABLE:
        Append(pos, "limit unreadable");
        break;
    default:
        Append(pos, "cache absent");
        return;
    }
    Append(pos, ": ");
    if (r.haveRead)
        AppendRead(pos);
    else if (r.phase == TRACE_NO_TEMPERATURE)
        Append(pos, "the sensor has no temperature byte");
    else if (r.phase == TRACE_NOT_MAPPED)
        Append(pos, "too few sensors flagged present");
    else
        Append(pos, "stored value is negative");
}

// Appends the reason a key creation or value write failed.
void AppendWriteFailure(int *pos, int keyFirst)
{
    const TraceRecord &r = g_record;
    if (keyFirst && r.createIndex != NO_INDEX) {
        Append(pos, "key ");
        AppendKey(pos, r.createIndex);
        *pos += wsprintfA(g_line + *pos, " not created (error %d)", (int)r.createStatus);
    } else if (r.writeValue) {
        *pos += wsprintfA(g_line + *pos, "\"%s\" not written (error %d)", r.writeValue,
                          (int)r.writeStatus);
    } else {
        Append(pos, "write refused");
    }
}

// Appends the last rebuild's outcome.
void AppendRebuild(int *pos)
{
    const TraceRecord &r = g_record;
    Append(pos, "; ");
    if (r.rebuilds > 1)
        *pos += wsprintfA(g_line + *pos, "%d rebuilds, the last ", r.rebuilds);
    else
        Append(pos, "rebuild ");
    if (r.rebuildEnded) {
        Append(pos, "ran to the end");
        if (r.limitsIndex >= 0)
            *pos += wsprintfA(g_line + *pos, ", firmware gave no limits for Sensor %d (result %d)",
                              r.limitsIndex, (int)r.limitsResult);
        if (r.writeValue) {
            Append(pos, ", ");
            AppendWriteFailure(pos, 0);
        }
        return;
    }
    switch (r.stopKind) {
    case STOP_THERMAL_KEY:
        Append(pos, "stopped: ");
        AppendWriteFailure(pos, 1);
        return;
    case STOP_SENSOR_INFO:
        *pos += wsprintfA(g_line + *pos, "stopped: firmware gave no sensor information (result %d)",
                          (int)r.infoResult);
        return;
    case STOP_NO_INFORMATION:
        Append(pos, "stopped: firmware has no thermal information");
        return;
    case STOP_PRESENCE:
        *pos += wsprintfA(g_line + *pos, "stopped at Sensor %d: ", r.stopIndex);
        AppendWriteFailure(pos, 1);
        return;
    case STOP_COUNT:
        Append(pos, "stopped: ");
        AppendWriteFailure(pos, 0);
        return;
    default:
        Append(pos, "stopped");
        return;
    }
}

// Sends the finished line to the chosen destination.
void WriteLine(int length)
{
    if (g_traceMode == TRACE_STDERR) {
        HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        DWORD written = 0;
        if (error && error != INVALID_HANDLE_VALUE)
            WriteFile(error, g_line, (DWORD)length, &written, NULL);
    } else {
        OutputDebugStringA(g_line);
    }
}

} // namespace

void ConfigureTrace(void)
{
    char value[VALUE_BUFFER_SIZE];
    DWORD length = GetEnvironmentVariableA(TRACE_VARIABLE, value, sizeof value);
    if (length == 0)
        g_traceMode = TRACE_OFF;
    else if (length >= sizeof value)
        g_traceMode = TRACE_DEBUGGER;
    else if (EqualsIgnoringCase(value, "0"))
        g_traceMode = TRACE_OFF;
    else if (EqualsIgnoringCase(value, STDERR_VALUE))
        g_traceMode = TRACE_STDERR;
    else
        g_traceMode = TRACE_DEBUGGER;
}

void TraceStartCall(int exportOrdinal, int sensor)
{
    ClearRecord();
    g_record.exportOrdinal = exportOrdinal;
    g_record.sensor = sensor;
}

void TraceFinishCall(int result)
{
    (void)result;
    const TraceRecord &r = g_record;
    if (r.phase == TRACE_PHASE_NONE && r.rebuilds == 0)
        return;
    int pos = wsprintfA(g_line, "%s%s(#%d)", LINE_PREFIX, EXPORT_NAMES[r.exportOrdinal],
                        r.exportOrdinal);
    if (r.exportOrdinal != TRACE_GET_NUM_SENSORS)
        pos += wsprintfA(g_line + pos, " sensor %d", r.sensor);
    Append(&pos, ": ");
    AppendPhase(&pos);
    if (r.rebuilds)
        AppendRebuild(&pos);
    if (r.failedRequests) {
        pos += wsprintfA(g_line + pos, "; driver request 0x%X failed with error %d",
                         (unsigned)r.requestCode, (int)r.requestError);
        if (r.failedRequests > 1)
            pos += wsprintfA(g_line + pos, " (%d failed requests)", r.failedRequests);
    }
    Append(&pos, "\n");
    WriteLine(pos);
}

void TraceSetPhase(int phase, int count)
{
    if (g_record.phase == TRACE_PHASE_NONE) {
        g_record.phase = phase;
        g_record.count = count;
    }
}

void TraceRecordRequest(DWORD code, DWORD error)
{
    if (g_record.failedRequests++ == 0) {
        g_record.requestCode = code;
        g_record.requestError = error;
    }
}

void TraceRecordAttempt(int kind)
{
    if (kind == TRACE_ATTEMPT_BUSY)
        ++g_record.busy;
    else if (kind == TRACE_ATTEMPT_WRONG_ECHO)
        ++g_record.wrongEcho;
    else
        ++g_record.unreadable;
}

void TraceRecordBlockRead(WORD result)
{
    ++g_record.blockReads;
    if (result != 0)
        ++g_record.blockFailures;
}

void TraceRecordKeyOpen(int index, LSTATUS status)
{
    g_record.openedKey = index;
    if (status == ERROR_SUCCESS || g_record.rebuilding || g_record.haveRead)
        return;
    g_record.haveRead = 1;
    g_record.readKey = index;
    g_record.readValue = NULL;
    g_record.readStatus = status;
}

void TraceRecordValueRead(LPCSTR name, LSTATUS status, DWORD type)
{
    if ((status == ERROR_SUCCESS && type == REG_DWORD) || g_record.rebuilding ||
        g_record.haveRead)
        return;
    g_record.haveRead = 1;
    g_record.readKey = g_record.openedKey;
    g_record.readValue = name;
    g_record.readStatus = status;
    g_record.readType = type;
}

void TraceRecordKeyCreate(int index, LSTATUS status)
{
    if (status == ERROR_SUCCESS)
        return;
    g_record.createIndex = index;
    g_record.createStatus = status;
    if (g_record.rebuilding && index == TRACE_THERMAL_KEY) {
        g_record.stopKind = STOP_THERMAL_KEY;
        g_record.rebuilding = 0;
    }
}

void TraceRecordValueWrite(LPCSTR name, LSTATUS status)
{
    if (status == ERROR_SUCCESS || g_record.writeValue)
        return;
    g_record.writeValue = name;
    g_record.writeStatus = status;
}

void TraceRecordRebuildStart(void)
{
    TraceRecord &r = g_record;
    ++r.rebuilds;
    r.rebuilding = 1;
    r.rebuildEnded = 0;
    r.stopKind = STOP_NONE;
    r.stopIndex = -1;
    r.limitsIndex = -1;
    r.writeValue = NULL;
    r.createIndex = NO_INDEX;
}

void TraceRecordSensorInfo(WORD result, DWORD ecx)
{
    if (!g_record.rebuilding)
        return;
    if (result != 0) {
        g_record.stopKind = STOP_SENSOR_INFO;
        g_record.infoResult = result;
        g_record.rebuilding = 0;
    } else if (!(ecx & FW_INFO_AVAILABLE)) {
        g_record.stopKind = STOP_NO_INFORMATION;
        g_record.rebuilding = 0;
    }
}

void TraceRecordLimits(int index, WORD result)
{
    if (result != 0 && g_record.limitsIndex < 0) {
        g_record.limitsIndex = index;
        g_record.limitsResult = result;
    }
}

void TraceRecordRebuildStopped(int index)
{
    g_record.stopKind = STOP_PRESENCE;
    g_record.stopIndex = index;
    g_record.rebuilding = 0;
}

void TraceRecordRebuildEnded(int written)
{
    if (written)
        g_record.rebuildEnded = 1;
    else
        g_record.stopKind = STOP_COUNT;
    g_record.rebuilding = 0;
}

void TraceRecordLockRefused(int lock, LPCSTR name, DWORD ms, int timedOut, DWORD error)
{
    TraceLockWait wait = {name, ms, timedOut, error};
    if (lock == TRACE_LIBRARY_LOCK) {
        g_record.libraryLock = wait;
        TraceSetPhase(TRACE_LOCKED_OUT, 0);
    } else {
        g_record.controllerLock = wait;
        ++g_record.lockRefused;
    }
}
