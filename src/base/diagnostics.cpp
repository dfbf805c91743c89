// Opt-in diagnostics: the line built from a call's report, and where it goes.
#include "base/diagnostics.h"

#include "kovaltherm.h"

namespace {

enum TraceMode { TRACE_OFF, TRACE_DEBUGGER, TRACE_STDERR };

int g_traceMode;

// The lines are short; the buffer leaves room for the longest names and numbers.
enum { LINE_SIZE = 1024, VALUE_BUFFER_SIZE = 16 };

const char STDERR_VALUE[] = "stderr";

const char *const EXPORT_NAMES[] = {
    "", "LMGetNumSensors", "LMGetSensorLocation", "LMReadCriticalLimit", "LMReadTempStatus",
    "LMReadTemperature", "LMReadWarningLimit",
};

// By CallPhase; only the out-of-range phase takes a number, the stored count.
const char *const PHASE_TEXTS[] = {
    "cache absent", "no thermal support", "sensor count unreadable",
    "ordinal not among the %d present sensors", "sensor maps to no present sensor",
    "no temperature", "limit unreadable", "library mutex not acquired: ",
};

struct Line {
    char text[LINE_SIZE];
    int length;
};

// Appends formatted text to a line.
#define ADD(line, ...) ((line)->length += wsprintfA((line)->text + (line)->length, __VA_ARGS__))

// Returns TRUE if the strings are equal, ignoring ASCII case.
BOOL EqualsIgnoringCase(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        char x = (char)(*a >= 'A' && *a <= 'Z' ? *a + 32 : *a);
        char y = (char)(*b >= 'A' && *b <= 'Z' ? *b + 32 : *b);
        if (x != y)
            return FALSE;
        if (!x)
            return TRUE;
    }
}

// Appends a cache key's name: "Thermal" or "Sensor <i>".
void AddKey(Line *line, int key)
{
    if (key == CACHE_THERMAL_KEY)
        ADD(line, "\"Thermal\"");
    else
        ADD(line, "\"Sensor %d\"", key);
}

// Appends why the first failed read of the cache failed.
void AddReadFailure(Line *line, const CacheOutcome &c)
{
    if (!c.readValue && c.readStatus == ERROR_FILE_NOT_FOUND) {
        ADD(line, "key ");
        AddKey(line, c.readKey);
        ADD(line, " missing");
        return;
    }
    if (!c.readValue)
        ADD(line, "registry error %d opening ", (int)c.readStatus);
    else if (c.readStatus == ERROR_FILE_NOT_FOUND)
        ADD(line, "\"%s\" missing in ", c.readValue);
    else if (c.readStatus == ERROR_SUCCESS || c.readStatus == ERROR_MORE_DATA)
        ADD(line, "\"%s\" in ", c.readValue);
    else
        ADD(line, "registry error %d reading \"%s\" in ", (int)c.readStatus, c.readValue);
    AddKey(line, c.readKey);
    if (c.readValue && c.readStatus == ERROR_SUCCESS)
        ADD(line, " is of type %d, not REG_DWORD", (int)c.readType);
    else if (c.readValue && c.readStatus == ERROR_MORE_DATA)
        ADD(line, " too long");
}

// Appends how a wait for a mutex ended.
void AddWait(Line *line, const LockWait &wait)
{
    if (wait.timedOut)
        ADD(line, "the wait for \"%s\" timed out after %u ms", wait.name, (unsigned)wait.ms);
    else
        ADD(line, "the wait for \"%s\" failed with error %d", wait.name, (int)wait.error);
}

// Appends the phase and its cause.
void AddPhase(Line *line, const CallReport &r)
{
    ADD(line, PHASE_TEXTS[r.phase], r.count);
    const BlockReads &b = r.blocks;
    if (r.phase == PHASE_LOCKED_OUT)
        AddWait(line, r.libraryWait);
    if (r.phase == PHASE_NONE || r.phase == PHASE_NO_SUPPORT || r.phase == PHASE_OUT_OF_RANGE ||
        r.phase == PHASE_LOCKED_OUT)
        return;
    if (r.phase == PHASE_NO_TEMPERATURE && b.failed) {
        int attempts = b.busy + b.wrongEcho + b.unreadable + b.withoutMutex;
        ADD(line, ": %d block read%s failed, %d attempts: %d busy, %d wrong echo, %d unreadable",
            b.failed, b.failed == 1 ? "" : "s", attempts, b.busy, b.wrongEcho, b.unreadable);
        if (b.withoutMutex) {
            ADD(line, ", %d without the controller mutex (", b.withoutMutex);
            AddWait(line, b.mutexWait);
            ADD(line, ")");
        }
        return;
    }
    ADD(line, ": ");
    if (r.cache.readFailed)
        AddReadFailure(line, r.cache);
    else if (r.phase == PHASE_NO_TEMPERATURE)
        ADD(line, "the sensor has no temperature byte");
    else if (r.phase == PHASE_NOT_MAPPED)
        ADD(line, "too few sensors flagged present");
    else
        ADD(line, "stored value is negative");
}

// Appends why a rebuild's key creation (when `keyFirst`) or value write failed.
void AddWriteFailure(Line *line, const CacheOutcome &c, int keyFirst)
{
    if (keyFirst && c.createFailed) {
        ADD(line, "key ");
        AddKey(line, c.createKey);
        ADD(line, " not created (error %d)", (int)c.createStatus);
    } else if (c.writeValue) {
        ADD(line, "\"%s\" not written (error %d)", c.writeValue, (int)c.writeStatus);
    } else {
        ADD(line, "write refused");
    }
}

// Appends the last rebuild's outcome.
void AddRebuild(Line *line, const CallReport &r)
{
    const RebuildOutcome &b = r.rebuild;
    if (r.rebuilds > 1)
        ADD(line, "; %d rebuilds, the last ", r.rebuilds);
    else
        ADD(line, "; rebuild ");
    switch (b.end) {
    case REBUILD_COMPLETE:
        ADD(line, "ran to the end");
        if (b.limitsMissing)
            ADD(line, ", firmware gave no limits for Sensor %d (result %d)", b.limitsIndex,
                (int)b.limitsResult);
        if (b.cache.writeValue) {
            ADD(line, ", ");
            AddWriteFailure(line, b.cache, 0);
        }
        return;
    case REBUILD_NO_SENSOR_INFO:
        ADD(line, "stopped: firmware gave no sensor information (result %d)", (int)b.infoResult);
        return;
    case REBUILD_NO_INFORMATION:
        ADD(line, "stopped: firmware has no thermal information");
        return;
    case REBUILD_PRESENCE_NOT_WRITTEN:
        ADD(line, "stopped at Sensor %d: ", b.stopIndex);
        break;
    default:
        ADD(line, "stopped: ");
        break;
    }
    AddWriteFailure(line, b.cache, b.end != REBUILD_COUNT_NOT_WRITTEN);
}

// Sends the finished line to the chosen destination.
void WriteLine(const Line &line)
{
    if (g_traceMode == TRACE_STDERR) {
        HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        DWORD written = 0;
        if (error && error != INVALID_HANDLE_VALUE)
            WriteFile(error, line.text, (DWORD)line.length, &written, NULL);
    } else {
        OutputDebugStringA(line.text);
    }
}

} // namespace

void ConfigureTrace(void)
{
    char value[VALUE_BUFFER_SIZE];
    DWORD length = GetEnvironmentVariableA(KOVALTHERM_TRACE_VARIABLE, value, sizeof value);
    if (length == 0 || (length < sizeof value && EqualsIgnoringCase(value, "0")))
        g_traceMode = TRACE_OFF;
    else if (length < sizeof value && EqualsIgnoringCase(value, STDERR_VALUE))
        g_traceMode = TRACE_STDERR;
    else
        g_traceMode = TRACE_DEBUGGER;
}

void WriteReport(const CallReport *report)
{
    const CallReport &r = *report;
    if (!g_traceMode || (r.phase == PHASE_NONE && r.rebuilds == 0))
        return;
    Line line;
    line.length = 0;
    ADD(&line, "kovaltherm: %s(#%d)", EXPORT_NAMES[r.exportOrdinal], r.exportOrdinal);
    if (r.exportOrdinal != EXPORT_GET_NUM_SENSORS)
        ADD(&line, " sensor %d", r.sensor);
    ADD(&line, ": ");
    AddPhase(&line, r);
    if (r.rebuilds)
        AddRebuild(&line, r);
    if (r.requests.count) {
        ADD(&line, "; driver request 0x%X failed with error %d", (unsigned)r.requests.code,
            (int)r.requests.error);
        if (r.requests.count > 1)
            ADD(&line, " (%d failed requests)", r.requests.count);
    }
    ADD(&line, "\n");
    WriteLine(line);
}
