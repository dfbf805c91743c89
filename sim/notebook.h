// The simulated notebook: firmware, embedded controller and the thermal driver's requests.
//
// Freestanding C++: no OS calls, no heap, no exceptions, no static constructors, so that the
// same code serves the host stand-in and the stand-in kernel driver. A notebook is one plain
// record; its owner serialises calls into it.
#ifndef KOVALTHERM_SIM_NOTEBOOK_H
#define KOVALTHERM_SIM_NOTEBOOK_H

#include <stdint.h>

// Control codes the thermal driver answers.
enum SimControlCode : uint32_t {
    SIM_IOCTL_READ_CONFIG_BYTE = 0x9C80,
    SIM_IOCTL_FIRMWARE_REQUEST = 0x9CC0,
    SIM_IOCTL_READ_CONTROLLER_BYTE = 0x9DC0,
    SIM_IOCTL_WRITE_CONTROLLER_BYTE = 0x9DD0,
    SIM_IOCTL_CONTROLLER_BUSY = 0x9E40,
    SIM_IOCTL_PROBE_THERMAL = 0x80012000,
    // Served by the stand-in kernel driver only, for tests and tools: replace the scenario
    // (input: a SimConfig; output, where there is room: a uint32_t, 1 when it is another
    // notebook than the one it replaces, 0 when only the temperatures differ), and read the
    // request log (input: uint32_t first entry; output: a SimLogPage).
    SIM_IOCTL_LOAD_SCENARIO = 0x80012400,
    SIM_IOCTL_READ_LOG = 0x80012404,
};

// The six requests, as indices into per-request tables (failure counts, statistics).
enum SimRequest {
    SIM_REQ_READ_CONFIG_BYTE,
    SIM_REQ_FIRMWARE,
    SIM_REQ_READ_CONTROLLER_BYTE,
    SIM_REQ_WRITE_CONTROLLER_BYTE,
    SIM_REQ_CONTROLLER_BUSY,
    SIM_REQ_PROBE_THERMAL,
    SIM_REQ_COUNT
};

enum : uint32_t {
    SIM_REGISTER_IMAGE_SIZE = 24,
    SIM_PROBE_BUFFER_SIZE = 478,
    SIM_PHYSICAL_SENSORS = 8,      // bits of the firmware's presence bitmap
    SIM_CONTROLLER_SENSORS = 7,    // temperatures carried by the answer block
    SIM_TRACE_POINTS = 32,
    SIM_LOG_CAPACITY = 32768,     // enough for several processes' mixed calls
    SIM_FAIL_ALWAYS = 0xFFFFFFFFu, // failure count meaning "every request from now on"
};

// Win32 error codes the driver reports for a failed request.
enum : uint32_t {
    SIM_ERROR_INVALID_FUNCTION = 1,
    SIM_ERROR_GEN_FAILURE = 31,
    SIM_ERROR_INVALID_PARAMETER = 87,
};

// Firmware: function numbers, the call's fixed ax, and the status bytes it answers with.
enum : uint16_t {
    SIM_FW_FUNCTION_SENSOR_INFO = 0x8260,
    SIM_FW_FUNCTION_SENSOR_LIMITS = 0x8262,
    SIM_FW_CALL_AX = 0x5380,
};
enum : uint8_t {
    SIM_FW_STATUS_OK = 0x00,
    SIM_FW_STATUS_UNSUPPORTED = 0x86,
    SIM_FW_INFO_AVAILABLE = 0x20,   // cl flag of the sensor-information answer
};

// Embedded controller: register layout of the command exchange.
enum : uint8_t {
    SIM_EC_ANSWER_BLOCK = 0x00,     // eight bytes, byte 0 echoes the command code
    SIM_EC_ANSWER_LENGTH = 8,
    SIM_EC_COMMAND = 0x30,          // command byte: 0x10 | code; 0x31..0x34 carry no argument
    SIM_EC_COMMAND_TEMPERATURES = 5,
    SIM_EC_ECHO_BASE = 0x20,        // high nibble of a correct echo byte
};

// One point of a temperature trace; the temperature between points is interpolated.
struct SimTracePoint {
    uint32_t timeMs;
    int32_t temperature;
};

// A temperature over time: constant with one point; repeating after the last point when
// `repeat` is set, else holding the last point's temperature.
struct SimTrace {
    uint32_t length;
    uint32_t repeat;
    SimTracePoint points[SIM_TRACE_POINTS];
};

// What the firmware answers for one sensor's limits (function 0x8262).
struct SimSensorLimits {
    uint32_t status;   // ah returned; 0 = success
    uint32_t cx;       // limit flags
    uint32_t esi;      // limit slots 0 and 1
    uint32_t edi;      // limit slots 2 and 3
};

// The scenario: everything about the machine that a test or a user chooses.
struct SimConfig {
    // firmware
    uint32_t firmwarePort;         // dx the firmware listens on; 0 = any
    uint32_t infoStatus;           // ah returned by function 0x8260
    uint32_t infoCl;               // cl returned by function 0x8260
    uint32_t presence;             // si returned by function 0x8260
    SimSensorLimits limits[SIM_PHYSICAL_SENSORS];
    // embedded controller
    SimTrace temperatures[SIM_CONTROLLER_SENSORS];
    uint64_t busyPattern;          // bit k set = poll k after a command reports busy
    uint32_t busyPatternLength;    // polls covered by busyPattern (at most 64)
    uint32_t busyAfterPattern;     // what every later poll reports
    uint32_t wrongEchoReads;       // answer-block reads after a command that echo wrongly
    uint32_t wrongEchoForever;     // every answer-block read echoes wrongly
    uint32_t wrongEchoByte;        // byte 0 of a wrong echo
    // driver
    uint8_t configBytes[256];      // configuration bytes; 0x7E/0x7F hold the firmware port
    uint32_t probeSucceeds;        // the support probe's outcome
    uint32_t failCount[SIM_REQ_COUNT]; // requests of each kind that fail before one succeeds
    uint32_t failError;            // the error a failed request reports
};

// One request as the driver received it.
struct SimLogEntry {
    uint32_t code;
    uint32_t timeMs;
    uint32_t error;                // 0 when the request succeeded
    uint32_t inputLength;
    uint32_t outputLength;
    uint8_t input[SIM_REGISTER_IMAGE_SIZE]; // the first bytes of the input
    uint8_t output0;               // first output byte as answered
    uint8_t reserved[3];
};

// The record of requests since the scenario was loaded; entries past the capacity are
// counted but not kept.
struct SimLog {
    uint32_t total;
    SimLogEntry entries[SIM_LOG_CAPACITY];
};

// A page of the request log as the driver returns it.
enum : uint32_t { SIM_LOG_PAGE_ENTRIES = 64 };
struct SimLogPage {
    uint32_t total;    // requests logged since the scenario was loaded
    uint32_t first;    // index of entries[0]
    uint32_t count;    // entries filled in this page
    uint32_t reserved;
    SimLogEntry entries[SIM_LOG_PAGE_ENTRIES];
};

struct SimNotebook;

// Fills a page of the log starting at entry `first`.
void SimReadLog(const SimNotebook *notebook, uint32_t first, SimLogPage *page);

// What changes while the notebook runs.
struct SimState {
    uint8_t controller[256];       // controller registers
    uint32_t pollsSinceCommand;
    uint32_t wrongEchoesLeft;
    uint32_t failLeft[SIM_REQ_COUNT];
    uint32_t requests[SIM_REQ_COUNT];
};

struct SimNotebook {
    SimConfig config;
    SimState state;
    SimLog log;
};

// Fills `config` with the default machine: sensors 0, 1 and 3 present with limits,
// steady temperatures, a controller that answers at once, port 0x00B2.
void SimDefaultConfig(SimConfig *config);

// Fills `config` with a machine that has nothing: no sensors, no support, a silent controller.
void SimEmptyConfig(SimConfig *config);

// Loads a scenario: the notebook restarts with `config`, its state reset and its log empty.
void SimLoad(SimNotebook *notebook, const SimConfig *config);

// Whether two scenarios are one notebook at other temperatures: everything else alike, so
// that a sensor cache built on one describes the other.
bool SimSameNotebook(const SimConfig *a, const SimConfig *b);

// A number naming the notebook, its temperatures aside: equal for scenarios SimSameNotebook
// finds alike (a hash of the same fields), so that each notebook can keep a cache of its own.
uint64_t SimNotebookId(const SimConfig *config);

// Sets one sensor's firmware limits: warning pair in slot 1, critical pair in slot 2.
void SimSetLimits(SimConfig *config, int sensor, int warnNormal, int warnHigh, int critNormal,
                  int critHigh);

// Makes a sensor's controller temperature constant.
void SimSetTemperature(SimConfig *config, int sensor, int temperature);

// Makes the first `polls` busy polls after each command report busy (at most 64).
void SimSetBusyPolls(SimConfig *config, uint32_t polls);

// Returns a trace's temperature at `timeMs`, clamped to 0..255.
uint8_t SimTraceAt(const SimTrace *trace, uint32_t timeMs);

// Serves one driver request at `nowMs`, as the driver's device-control dispatch would:
// `input` and `output` may be the same buffer. Returns 0 on success or a Win32 error code;
// `*returned` is the number of output bytes written.
uint32_t SimDeviceControl(SimNotebook *notebook, uint32_t code, const void *input,
                          uint32_t inputLength, void *output, uint32_t outputLength,
                          uint32_t *returned, uint32_t nowMs);

#endif
